"""Writes docs/api.md from the module's own docstrings and its shipped type stubs.

    python docs/gen_api_reference.py          # rewrite docs/api.md
    python docs/gen_api_reference.py --check  # exit 1 if docs/api.md is stale

Texts, parameter names, defaults and the member order come from the imported module (its
docstrings, text signatures and class dictionaries); types and attribute descriptions come from
src/python/korvane.pyi, which stubtest keeps equal to the module. tests/python/test_docs.py fails
when the committed page differs from what this script writes.
"""

from __future__ import annotations

import argparse
import ast
import inspect
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

import korvane
import korvane_frenet
import korvane_match
import korvane_tracks

DOCS = Path(__file__).resolve().parent
STUB = DOCS.parent / "src" / "python" / "korvane.pyi"
FRENET_STUB = DOCS.parent / "src" / "python" / "korvane_frenet.pyi"
TRACKS_STUB = DOCS.parent / "src" / "python" / "korvane_tracks.pyi"
MATCH_STUB = DOCS.parent / "src" / "python" / "korvane_match.pyi"
OUTPUT = DOCS / "api.md"


# --- the stub ---------------------------------------------------------------------------------


@dataclass
class StubClass:
    methods: dict[str, ast.FunctionDef] = field(default_factory=dict)
    properties: dict[str, ast.FunctionDef] = field(default_factory=dict)


@dataclass
class Stub:
    classes: dict[str, StubClass]
    aliases: dict[str, tuple[str, str]]  # public name -> (definition, description)


def read_stub(path: Path = STUB) -> Stub:
    source = path.read_text()
    lines = source.splitlines()
    classes: dict[str, StubClass] = {}
    aliases = {}

    def visit(node: ast.ClassDef, prefix: str) -> None:
        entry = classes.setdefault(prefix + node.name, StubClass())
        for child in node.body:
            if isinstance(child, ast.FunctionDef):
                decorators = {ast.unparse(d) for d in child.decorator_list}
                (entry.properties if "property" in decorators else entry.methods)[child.name] = child
            elif isinstance(child, ast.ClassDef):
                visit(child, prefix + node.name + ".")

    for node in ast.parse(source).body:
        if isinstance(node, ast.ClassDef) and node.name.startswith("_"):
            # A private protocol that the aliases use: its methods are its definition.
            comment = lines[node.lineno - 2].strip()
            methods = dict.fromkeys(f.name for f in node.body if isinstance(f, ast.FunctionDef))
            aliases[node.name.lstrip("_")] = ("Protocol[T]: " + ", ".join(methods), comment[2:])
        elif isinstance(node, ast.ClassDef):
            visit(node, "")
        elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
            comment = lines[node.lineno - 2].strip()
            assert comment.startswith("# "), f"type alias on line {node.lineno} has no description"
            name = node.target.id.lstrip("_")
            aliases[name] = (public(ast.unparse(node.value)), comment[2:])
    return Stub(classes, aliases)


def public(annotation: str) -> str:
    """An annotation as users read it: aliases without their underscore, NumPy spelt out."""
    annotation = re.sub(r"\b_([A-Z]\w*)", r"\1", annotation)
    return annotation.replace("npt.NDArray", "numpy.typing.NDArray").replace("np.", "numpy.")


def stub_parameters(function: ast.FunctionDef) -> tuple[list[tuple[str, str]], str]:
    """(name, annotation) of each parameter after self/cls, and the return annotation."""
    arguments = (
        function.args.args[1:]
        if function.args.args and function.args.args[0].arg in ("self", "cls")
        else function.args.args
    )
    arguments = arguments + function.args.kwonlyargs
    return [(a.arg, public(ast.unparse(a.annotation))) for a in arguments], public(
        ast.unparse(function.returns)
    )


# --- the module's docstrings ------------------------------------------------------------------


@dataclass
class Docstring:
    call: str  # first line, the call with its real defaults
    text: str  # the description before the fields
    params: dict[str, str]
    returns: str


def parse_docstring(doc: str) -> Docstring:
    """Splits a reST field-list docstring whose first line repeats the call."""
    first, _, rest = doc.partition("\n")
    fields = re.split(r"\n(?=:)", rest)
    text = fields[0].strip()
    params, returns = {}, ""
    for item in fields[1:]:
        match = re.match(r":(\w+)(?: (\w+))?:\s*(.*)", item, re.S)
        if not match:
            continue
        kind, name, body = match.groups()
        body = " ".join(line.strip() for line in body.strip().splitlines())
        if kind == "param":
            params[name] = body
        elif kind == "returns":
            returns = body
    return Docstring(first.strip(), text, params, returns)


def call_defaults(call: str) -> dict[str, str]:
    """name -> default text, from a call line such as "f(a, b=InterpolationMethod.Linear)"."""
    inside = call[call.index("(") + 1 : call.rindex(")")]
    defaults = {}
    for part in filter(None, (p.strip() for p in inside.split(","))):
        name, eq, value = part.partition("=")
        if eq:
            defaults[name.strip()] = value.strip()
    return defaults


def runtime_parameters(obj: object) -> dict[str, inspect.Parameter]:
    """The parameters of a text signature, without self."""
    parameters = dict(inspect.signature(obj).parameters)
    parameters.pop("self", None)
    return parameters


def runtime_defaults(obj: object) -> dict[str, str]:
    """name -> default text from the text signature; `...` stands for a default shown only in the docstring."""
    return {
        name: ("..." if p.default is Ellipsis else repr(p.default))
        for name, p in runtime_parameters(obj).items()
        if p.default is not inspect.Parameter.empty
    }


# --- what the stored docstrings leave loose ----------------------------------------------------
# The module's docstrings are kept verbatim; these lines say plainly what each call returns.

PLAIN = {
    "Path2D.compute_circle_fit_curvature": "One value per point: 1/radius of the circle fitted to the "
    "run of `find_circle_segments(0, n, max_rmse)` that the point belongs to; never negative, 0.0 "
    "in runs of one or two points.",
    "Path2D.find_circle_segments": "`(start, end, curvature)` tuples that cover the points `start` to "
    "`end - 1` without gaps, `end` exclusive; `curvature` is 1/radius of the run's fitted circle, "
    "without sign, and 0.0 for runs of one or two points. Exactly straight points cannot be fitted, "
    "so an exactly straight run comes back as several such short runs.",
    "Path2D.resampled_path": "A new path with points evenly spaced along the arc length, and the "
    "associated values interpolated at them. The docstring's `number_points` is `resampling_method`; "
    "`epsilon` is an arc length here: with `drop_last=False` the path's end is added unless it lies "
    "within `epsilon` of the last regular point.",
    "Path2D.smoothed_path_elastic_band": "A new path whose interior points moved by at most "
    "`max_deviation` (along their normal with `OrthogonalBounds`; within a square of half-width "
    "`max_deviation` with `SquareBounds`), or `None` when the solver finds no solution. It has no "
    "associated values.",
    "Path2D.smoothed_path_chaikin": "A new path: each iteration cuts every corner at 1/4 and 3/4 of "
    "its segments, keeping both end points. It has no associated values.",
    "Path2D.index_from_point": "The index `i` of a *segment* (from point `i` to point `i + 1`): the "
    "nearest one on which the point's perpendicular foot lies. 0 or n - 1 when the point lies in the "
    "square of half-width `epsilon` around the first or last point; `None` when it has no projection.",
    "Path2D.path_length_from_point": "The arc length, a float, from the first point to the point's "
    "perpendicular foot (the projection of `index_from_point`); `None` when there is none.",
    "Path2D.sub_path": "A new path from the projection of `start` to that of `end`, the cut points "
    "inserted unless within the `epsilon` square of a point, associated values interpolated at the "
    "cuts; `None` when a point has no projection or `end` lies before `start`.",
    "Path2D.detect_corrupted_point_order": "The indices of interior points where the heading changes "
    "by at least `sus_angle` radians from the segment in to the segment out (0 goes straight on, pi "
    "turns right back; 2.8 rad is 160 degrees).",
    "Path2D.repair_corrupted_point_order": "A new path without the points the detection reports, the "
    "detection repeated until it reports none; associated values lose the same entries.",
    "Path2D.add_associated_values": "The handle (0 for the first list, then 1, 2, ...) of the values, "
    "one per point; a list of another length raises `TypeError` and adds nothing.",
    "Path2D.associated_values": "The list stored under `handle`, or `None` for a handle the path does "
    "not have.",
    "Path2D.associated_value_np": "The same as a float64 array, or `None` (the docstring's first line "
    "names it `associated_values_np`).",
    "ResamplingMethod.by_number_points": "A `ResamplingMethod.ByNumberPoints`: that many points from "
    "the start to the end of the path.",
    "ResamplingMethod.by_sampling_distance": "A `ResamplingMethod.BySamplingDistance`: points at arc "
    "lengths 0, d, 2d, ...; with `drop_last=False` the path's end is added as a last, shorter step.",
    # Notes on an attribute, shown below the attribute table, and on a class, below its members.
    "Path2D.orientation": "`orientation`: on x86-64 processors with AVX2 and FMA where glibc's vector math library "
    "(`libmvec.so.1`) is installed, headings are computed four at a time and may differ from "
    "`math.atan2` of the same differences by at most 2 ULP; elsewhere, and for axis-aligned, "
    "near-diagonal and non-finite directions, they are `math.atan2` exactly. The "
    "[guide](guide.md#paths-and-their-quantities) shows how to tell which applies.",
    "InterpolationMethod": "`Cubic` is 0 and `Linear` 1 because the members are numbered in the order "
    "they are declared; `resampled_path` still defaults to `Linear`.",
}


# --- rendering --------------------------------------------------------------------------------


def text(value: str) -> str:
    """A docstring paragraph as Markdown: lines joined, bracketed references kept on their own line."""
    paragraphs = []
    for block in value.split("\n\n"):
        block_lines = [line.strip() for line in block.splitlines() if line.strip()]
        if block_lines and all(re.match(r"\[\d+\] ", line) for line in block_lines):
            paragraphs.append("<br>\n".join(block_lines))
        else:
            paragraphs.append(" ".join(block_lines))
    return "\n\n".join(paragraphs)


def cell(value: str) -> str:
    return value.replace("|", "\\|") if value else "—"


def render_callable(
    owner: str,
    name: str,
    runtime: object,
    stub: ast.FunctionDef,
    heading: str,
    call_name: str | None = None,
    described: dict[str, str] | None = None,
) -> list[str]:
    """A callable's signature with stub types and real defaults, its text, parameters and result.

    `described` gives descriptions for parameters that the docstring leaves out (a variant
    class's constructor parameters are its attributes)."""
    doc = parse_docstring(inspect.getdoc(runtime) or "")
    parameters, returns = stub_parameters(stub)
    shown = call_defaults(doc.call) if doc.call.startswith((call_name or name) + "(") else {}
    actual = runtime_defaults(runtime)
    if [p for p, _ in parameters] != list(runtime_parameters(runtime)):
        raise SystemExit(f"{owner}.{name}: stub parameters differ from the module's; run stubtest")
    defaults = {}
    for parameter, value in actual.items():
        if value != "..." and shown.get(parameter, value) != value:
            raise SystemExit(
                f"{owner}.{name}: docstring shows {parameter}={shown[parameter]}, module has {value}"
            )
        defaults[parameter] = shown.get(parameter, value)
    keyword_only = {a.arg for a in stub.args.kwonlyargs}
    signature = ", ".join(
        ("*, " if p in keyword_only and i == len(parameters) - len(keyword_only) else "")
        + f"{p}: {t}"
        + (f" = {defaults[p]}" if p in defaults else "")
        for i, (p, t) in enumerate(parameters)
    )
    out = [heading, "", "```python", f"{call_name or name}({signature}) -> {returns}", "```", ""]
    if doc.text:
        out += [text(doc.text), ""]
    if parameters:
        out += ["| Parameter | Type | Default | Description |", "|---|---|---|---|"]
        for p, t in parameters:
            default = f"`{defaults[p]}`" if p in defaults else "required"
            description = doc.params.get(p) or (described or {}).get(p, "")
            out.append(f"| `{p}` | `{cell(t)}` | {default} | {cell(description)} |")
        out.append("")
    if returns != "None" and name != "__new__":
        out += [f"**Returns** `{returns}`" + (f": {doc.returns}." if doc.returns else "."), ""]
    if f"{owner}.{name}" in PLAIN:
        out += [f"**In plain words**: {PLAIN[f'{owner}.{name}']}", ""]
    return out


def render_properties(names: list[str], stub_class: StubClass) -> list[str]:
    out = ["| Attribute | Type | Description |", "|---|---|---|"]
    for name in names:
        node = stub_class.properties[name]
        out.append(
            f"| `{name}` | `{cell(public(ast.unparse(node.returns)))}` | {cell(ast.get_docstring(node) or '')} |"
        )
    return out + [""]


def members(cls: type) -> tuple[list[str], list[str], list[str]]:
    """Public attributes, methods and static methods of a class, in the class's own order."""
    attributes, methods, statics = [], [], []
    for name, value in vars(cls).items():
        if name.startswith("_"):
            continue
        if type(value).__name__ == "getset_descriptor":
            attributes.append(name)
        elif isinstance(value, staticmethod):
            statics.append(name)
        elif callable(value) and not isinstance(value, type):
            methods.append(name)
    return attributes, methods, statics


def render_class(cls: type, stub_name: str, stub: Stub, level: str = "##") -> list[str]:
    stub_class = stub.classes[stub_name]
    out = [f"{level} {stub_name}", ""]
    if "." in stub_name:
        out += [f"A class reached as `{stub_name}`; its run-time name is `{cls.__name__}`.", ""]
    if cls.__text_signature__ is not None:
        new = stub_class.methods["__new__"]
        described = {n: ast.get_docstring(f) or "" for n, f in stub_class.properties.items()}
        out += render_callable(
            stub_name, "__new__", cls, new, "**Constructor**", call_name=stub_name, described=described
        )
    else:
        out += ["No constructor: calling the class raises `TypeError`.", ""]
    if cls.__base__ is not object:
        out += [f"Derives from `{cls.__base__.__name__}`.", ""]
    attributes, methods, statics = members(cls)
    if attributes:
        out += [f"{level}# Attributes of {stub_name}", "", "Read-only; every read returns a new object.", ""]
        out += render_properties(attributes, stub_class)
        out += [
            line
            for a in attributes
            if f"{stub_name}.{a}" in PLAIN
            for line in (PLAIN[f"{stub_name}.{a}"], "")
        ]
    if getattr(cls, "__match_args__", None):
        out += [
            f"`__match_args__` is `{cls.__match_args__!r}`, so `case {stub_name}({', '.join(cls.__match_args__)}):` "
            "binds them in a `match` statement.",
            "",
        ]
    for name in statics:
        out += render_callable(
            stub_name,
            name,
            getattr(cls, name),
            stub_class.methods[name],
            f"{level}# {stub_name}.{name} (static method)",
        )
    for name in methods:
        out += render_callable(
            stub_name, name, getattr(cls, name), stub_class.methods[name], f"{level}# {stub_name}.{name}"
        )
    constants = [(n, v) for n, v in vars(cls).items() if isinstance(v, cls)]
    if constants:
        out += ["| Member | `int()` | `repr()` |", "|---|---|---|"]
        out += [f"| `{stub_name}.{n}` | {int(v)} | `{v!r}` |" for n, v in constants]
        out.append("")
        equal = all(v == int(v) for _, v in constants)
        out += [
            "Members are the only instances. They compare with `==` and `!=` to each other"
            + (" and to their integer values" if equal else "")
            + ".",
            "",
        ]
    if stub_name in PLAIN:
        out += [PLAIN[stub_name], ""]
    variants = [(n, v) for n, v in vars(cls).items() if isinstance(v, type)]
    if variants:
        out += [
            f"Every instance is one of its variant classes {' or '.join(f'`{stub_name}.{n}`' for n, _ in variants)}; "
            "instances compare with `==` and `!=` by variant and field values.",
            "",
        ]
    if cls.__hash__ is None:
        out += ["Instances are not hashable.", ""]
    for name, variant in variants:
        out += render_class(variant, f"{stub_name}.{name}", stub, level + "#")
    return out


def render(stub: Stub | None = None) -> str:
    stub = stub or read_stub()
    out = [
        "# API reference",
        "",
        "<!-- Generated by docs/gen_api_reference.py from the module's docstrings and its type stubs. "
        "Do not edit by hand. -->",
        "",
        f"Module `korvane`: {korvane.__doc__}. It exports `{'`, `'.join(korvane.__all__)}` "
        "and nothing else; it has no functions or constants of its own. "
        "Every parameter can be given by position or by keyword.",
        "",
        "The method texts below are the module's stored docstrings, kept verbatim; where their wording "
        "is loose (`index_from_point` speaks of the nearest point but returns a segment index), the "
        "**In plain words** line under a method says what it returns. `epsilon` in the point queries "
        "and `sub_path` is the half-width of an axis-aligned square around a point (each coordinate "
        "difference at most `epsilon`), not a radius; in `resampled_path` it is an arc length.",
        "",
        "The defaults shown are the real ones. `inspect.signature` shows `resampling_type=...` and "
        "`elastic_band_type=...`: a text signature can only spell plain constants, so `...` stands "
        "for the enumeration default given here. `inspect.signature(...).bind(...).apply_defaults()` "
        "cannot fill it and puts in `Ellipsis`, which the call refuses with `TypeError`: leave such "
        "an argument out, or pass the default.",
        "",
        "The types below are those of the stubs shipped with the module (`korvane-stubs`), which "
        "mypy and pyright read. They use these aliases:",
        "",
        "| Alias | Definition | Meaning |",
        "|---|---|---|",
    ]
    out += [
        f"| `{name}` | `{cell(definition)}` | {description} |"
        for name, (definition, description) in stub.aliases.items()
    ]
    out += ["", "Contents: " + ", ".join(f"[{name}](#{name.lower()})" for name in korvane.__all__), ""]
    for name in korvane.__all__:
        out += render_class(getattr(korvane, name), name, stub)
    return "\n".join(out + render_frenet() + render_tracks() + render_match()).rstrip() + "\n"


def render_frenet() -> list[str]:
    """The second module: its functions and their named result, in the same form."""
    stub = ast.parse(FRENET_STUB.read_text()).body
    functions = {n.name: n for n in stub if isinstance(n, ast.FunctionDef)}
    result = next(n for n in stub if isinstance(n, ast.ClassDef) and n.name == "FrenetCoordinates")
    fields = StubClass(properties={n.name: n for n in result.body if isinstance(n, ast.FunctionDef)})
    out = [
        "## Module korvane_frenet",
        "",
        f"Module `korvane_frenet`: {korvane_frenet.__doc__}. Installed with korvane; it reads "
        f"korvane's `Path2D` objects and refuses anything else with `TypeError`. It exports "
        f"`{'`, `'.join(korvane_frenet.__all__)}`; its stubs ship as `korvane_frenet-stubs` and use "
        "the aliases above.",
        "",
    ]
    for name in ("to_frenet", "from_frenet"):
        out += render_callable(
            "korvane_frenet", name, getattr(korvane_frenet, name), functions[name], f"### {name}"
        )
    out += [
        "### FrenetCoordinates",
        "",
        f"{korvane_frenet.FrenetCoordinates.__doc__} A named tuple (a struct sequence): unpack it, "
        "index it or read its fields.",
        "",
    ]
    return out + render_properties(list(fields.properties), fields)


def render_tracks() -> list[str]:
    """The module of ragged columns: its functions and their named results, in the same form."""
    stub = ast.parse(TRACKS_STUB.read_text()).body
    functions = {n.name: n for n in stub if isinstance(n, ast.FunctionDef)}
    results = {n.name: n for n in stub if isinstance(n, ast.ClassDef)}
    out = [
        "## Module korvane_tracks",
        "",
        f"Module `korvane_tracks`: {korvane_tracks.__doc__}. Installed with korvane. Many tracks "
        "come as two columns: `points`, an (N, 2) array-like of every track's points one after "
        "the other, and `offsets`, T + 1 integers from 0 to N that never decrease (track i is "
        "`points[offsets[i]:offsets[i + 1]]`); wrong offsets are a `ValueError` naming the first "
        "wrong entry. Every function returns new arrays and answers each track exactly as the "
        "per-path call it names does. It exports "
        f"`{'`, `'.join(korvane_tracks.__all__)}`; its stubs ship as `korvane_tracks-stubs` and "
        "use the aliases above and these:",
        "",
        "| Alias | Definition | Meaning |",
        "|---|---|---|",
    ]
    out += [
        f"| `{name}` | `{cell(definition)}` | {description} |"
        for name, (definition, description) in read_stub(TRACKS_STUB).aliases.items()
    ]
    out += [""]
    for name in (n for n in korvane_tracks.__all__ if n in functions):
        out += render_callable(
            "korvane_tracks", name, getattr(korvane_tracks, name), functions[name], f"### {name}"
        )
    for name, node in results.items():
        fields = StubClass(properties={n.name: n for n in node.body if isinstance(n, ast.FunctionDef)})
        out += [
            f"### {name}",
            "",
            f"{getattr(korvane_tracks, name).__doc__} A named tuple (a struct sequence): unpack it, "
            "index it or read its fields.",
            "",
        ]
        out += render_properties(list(fields.properties), fields)
    return out


def render_match() -> list[str]:
    """The map matching module: its network class and its named result."""
    stub = read_stub(MATCH_STUB)
    out = [
        "## Module korvane_match",
        "",
        f"Module `korvane_match`: {korvane_match.__doc__}. Installed with korvane; it exports "
        f"`{'`, `'.join(korvane_match.__all__)}`; its stubs ship as `korvane_match-stubs`.",
        "",
    ]
    out += render_class(korvane_match.RoadNetwork, "RoadNetwork", stub, "###")
    methods = stub.classes["RoadNetwork"].methods
    out += render_callable(
        "RoadNetwork",
        "from_arrow",
        korvane_match.RoadNetwork.from_arrow,
        methods["from_arrow"],
        "#### RoadNetwork.from_arrow (class method)",
    )
    out += [
        "### MatchResult",
        "",
        f"{korvane_match.MatchResult.__doc__} A named tuple (a struct sequence): unpack it, index it or "
        "read its fields.",
        "",
    ]
    fields = stub.classes["MatchResult"]
    return out + render_properties(list(fields.properties), fields)


def main() -> int:
    parser = argparse.ArgumentParser(description="Write docs/api.md from the module's docstrings.")
    parser.add_argument("--check", action="store_true", help="only report whether docs/api.md is stale")
    args = parser.parse_args()
    page = render()
    if args.check:
        current = OUTPUT.read_text() if OUTPUT.exists() else ""
        print("docs/api.md is up to date" if current == page else "docs/api.md is stale")
        return 0 if current == page else 1
    OUTPUT.write_text(page)
    print(f"wrote {OUTPUT.relative_to(DOCS.parent)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
