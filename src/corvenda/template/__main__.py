"""``python -m corvenda.template preview NAME [options]``: the preview command.

The command lives in corvenda.preview, which imports this package, so this
module only hands over to it: corvenda.template is loaded once and never
imports corvenda.preview.
"""

import runpy

runpy.run_module("corvenda.preview", run_name="__main__", alter_sys=True)
