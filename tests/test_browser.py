"""Every built-in template as a recipient sees it, measured in headless Chromium.

Each of template_cases' cases at 375 px (a phone) and 600 px, light and dark: the page
never scrolls sideways, the verification code stays on one line, and every visible text
has a contrast of at least 4.5:1 against the background it is drawn on.
"""

import json

import pytest
from conftest import require
from template_cases import CASES, TEMPLATES

from corvenda.preview import _chromium
from corvenda.template import TemplateEngine

VIEWS = [(width, dark) for width in (375, 600) for dark in (False, True)]

# Measures the loaded page; CODE is replaced by the code to look for (or null).
MEASURE = r"""
(() => {
  const code = CODE;
  const rgba = (text) => {  // colours in other spaces do not occur in the templates
    const m = text.match(/rgba?\(([^)]+)\)/);
    return m && [...m[1].split(/[ ,\/]+/).filter(Boolean).map(Number), 1].slice(0, 4);
  };
  const over = (top, below) => top.slice(0, 3).map((c, i) => c * top[3] + below[i] * (1 - top[3])).concat([1]);
  const probe = document.documentElement.appendChild(document.createElement("div"));
  probe.style.backgroundColor = "Canvas";  // the colour behind the root: depends on the used colour scheme
  const canvas = rgba(getComputedStyle(probe).backgroundColor);
  probe.remove();
  const background = (element) => {
    const layers = [];
    for (let e = element; e; e = e.parentElement) {
      const colour = rgba(getComputedStyle(e).backgroundColor);
      if (colour && colour[3] > 0) layers.push(colour);
      if (colour && colour[3] >= 1) break;
    }
    return layers.reverse().reduce((below, top) => over(top, below), canvas);
  };
  const luminance = (c) => c.slice(0, 3).map((v) => v / 255)
    .map((v, i) => [0.2126, 0.7152, 0.0722][i] * (v <= 0.04045 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4))
    .reduce((sum, v) => sum + v);
  const contrast = (a, b) => {
    const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
    return (hi + 0.05) / (lo + 0.05);
  };
  const low = [], codeLines = [];
  const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
  for (let node; (node = walker.nextNode());) {
    const style = getComputedStyle(node.parentElement), range = document.createRange();
    range.selectNodeContents(node);
    const shown = [...range.getClientRects()].some((r) => r.width > 0 && r.height > 0);
    if (!node.data.trim() || !shown || style.visibility !== "visible" || !(Number(style.opacity) > 0)) continue;
    const bg = background(node.parentElement);
    const ratio = contrast(over(rgba(style.color), bg), bg);
    if (ratio < 4.5) low.push({text: node.data.trim().slice(0, 40), color: style.color,
                               background: "rgb(" + bg.slice(0, 3).map(Math.round) + ")", ratio: +ratio.toFixed(2)});
    const at = code === null ? -1 : node.data.indexOf(code);
    if (at >= 0) {
      range.setStart(node, at);
      range.setEnd(node, at + code.length);
      codeLines.push(new Set([...range.getClientRects()].filter((r) => r.width > 0).map((r) => Math.round(r.top))).size);
    }
  }
  return {scrollWidth: document.documentElement.scrollWidth, viewport: window.innerWidth, low, codeLines};
})()
"""


@pytest.fixture(scope="module")
def views():
    """One tab per (width, dark) view, all in one browser."""
    require("chromium")
    with _chromium.Browser() as browser:
        yield {view: browser.open("<!DOCTYPE html><title>blank</title>", width=view[0], height=700,
                                  dark=view[1], mobile=view[0] < 600) for view in VIEWS}


@pytest.mark.parametrize("name, label, variables", CASES, ids=[f"{n}-{label}" for n, label, _ in CASES])
def test_templates_fit_the_screen_and_stay_readable(views, tmp_path, name, label, variables):
    page_file = tmp_path / f"{name}.html"
    page_file.write_text(TemplateEngine(None).render(f"{name}.html", variables), encoding="utf-8")
    code = variables["code"] if "code" in TEMPLATES[name][0] else None
    faults = []
    for (width, dark), page in views.items():
        page.navigate(page_file.as_uri())
        seen = page.evaluate(MEASURE.replace("CODE", json.dumps(code)))
        where = f"{width} px {'dark' if dark else 'light'}"
        # A phone's layout viewport grows to fit wide content, so compare with the screen.
        if max(seen["scrollWidth"], seen["viewport"]) > width:
            faults.append(f"{where}: page is {seen['scrollWidth']} px wide (viewport {seen['viewport']} px)")
        if code is not None and set(seen["codeLines"]) != {1}:  # no visible copy is a fault too
            faults.append(f"{where}: lines taken by each visible copy of the code: {seen['codeLines']}")
        faults += [f"{where}: contrast {t['ratio']} of {t['text']!r} ({t['color']} on {t['background']})"
                   for t in seen["low"]]
    assert not faults, "\n".join(faults)
