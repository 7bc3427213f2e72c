"""What a checker sees of the report views and lint selection: no expression typed Any (checked with
mypy --disallow-any-expr; never run)."""

from ondrel import ir
from ondrel.sdk import lint_graph
from ondrel.sdk.lint_selection import RULES, LintSelection, load_config
from ondrel.sdk.report import DiffView, ModelView

view = ModelView("model.o1c", title="model")
view.save("model.html")
page = view.html() + view.svg() + view.dot()
diff = DiffView("model.o1c", "model_trained.o1c", atol=1e-6, rtol=1e-5)
changed = diff.svg()
selection = LintSelection(select=["LIF_"], ignore=["LIF_HIGH_THRESHOLD"], per_node_ignores={"fc*": ["MISSING_"]})
result = selection.apply(lint_graph(ir.read("model.o1c")))
kept = selection.allows("LIF_LOW_TAU", node="lif1") and result.is_valid
severity = RULES["LIF_LOW_TAU"].severity
config = load_config("lint.toml")
strict = config.strict
refined = LintSelection(select=["ALL"], base=config.selection())
