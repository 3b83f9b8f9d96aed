"""Variables for rendering every built-in template the ways recipients meet it.

Shared by the browser and spam-filter checks: for each template its full
variables, its minimal (required only) variables, and the full variables with
a 300-character unbroken token in every free-text variable and URL.
"""

LONG = "x" * 300
LONG_URL = "https://example.com/r?t=" + "A1b2" * 69

LAYOUT = {"recipient_name": "Ann Example", "product_name": "Acme Cloud",
          "footer": "Acme Ltd, 1 Main Street, Springfield. You receive this mail because you have an account.",
          "occurred_at": "2026-03-04 05:06:07"}
TEMPLATES = {  # name: (required, optional, free-text variables)
    "notification": (
        {"title": "Build #742 is ready",
         "message": "All 12 jobs passed. The release candidate is built and signed.\n\n"
                    "The artefacts can be downloaded for the next 30 days."},
        {"action_url": "https://ci.example.com/builds/742", "action_text": "Open build"},
        ("title", "message", "action_text", "action_url"),
    ),
    "verification_code": ({"code": "A7F3-K9Q2-ZX81"}, {"expires_minutes": 10}, ()),
    "password_reset": ({"reset_url": "https://example.com/reset?t=4f9a2c"}, {"expires_minutes": 30}, ("reset_url",)),
}
LAYOUT_TEXT = ("recipient_name", "product_name", "footer")


def variants(name):
    """Yield (label, variables) for the full, minimal and long-token cases."""
    required, optional, free = TEMPLATES[name]
    full = LAYOUT | required | optional
    yield "full", full
    yield "minimal", dict(required)
    yield "long", full | {k: LONG_URL if k.endswith("_url") else LONG for k in (*free, *LAYOUT_TEXT)}


CASES = [(name, label, variables) for name in TEMPLATES for label, variables in variants(name)]
