"""Step, Recipe, ImageSource and Recipe.from_dockerfile as a script sees them."""

import inspect
import pathlib
import pydoc
import re

import pytest

import halvo
from halvo import ImageSource, Recipe, Step

STR_TO_VEC = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "callable_, signature",
    [
        (Step.run, "(cmd)"),
        (Step.copy, "(src, dst)"),
        (Step.env, "(key, value)"),
        (Step.workdir, "(dir)"),
        (Recipe, "(base, steps=())"),
        (Recipe.from_dockerfile, "(content)"),
        (Recipe("a").step, "(step)"),
        (Recipe("a").steps, "(steps)"),
        (ImageSource.reference, "(reference)"),
        (ImageSource.digest, "(digest)"),
        (ImageSource.recipe, "(recipe)"),
    ],
)
def test_signatures(callable_, signature):
    assert str(inspect.signature(callable_)) == signature


def test_the_docstring_follows_the_signature():
    # The signature is read apart from the text, which is the docstring proper.
    for m in (Step.run, Step.copy, Step.env, Step.workdir, Recipe.from_dockerfile, Recipe.step, Recipe.steps,
              ImageSource.reference, ImageSource.digest, ImageSource.recipe):
        assert m.__text_signature__ and m.__doc__ and "\n--\n" not in m.__doc__
    assert Recipe.__text_signature__ == "(base, steps=())"
    for cls in (Step, ImageSource, halvo.BuildImageResult, halvo.ImageEntry):
        assert cls.__doc__ and cls.__text_signature__ is None


def test_registration_order_follows_the_exceptions():
    from halvo import _halvo

    public = [n for n in vars(_halvo) if not n.startswith("_")]
    start = public.index("ERROR_CODES") + 1
    assert public[start:start + 6] == ["Step", "Recipe", "ImageSource", "BuildImageResult", "ImageEntry",
                                       "ImageClient"]


@pytest.mark.parametrize(
    "cls", [Step, Recipe, ImageSource, halvo.BuildImageResult, halvo.ImageEntry, halvo.ImageClient]
)
def test_classes_report_module_halvo_and_are_closed(cls):
    assert cls.__module__ == "halvo"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        class Sub(cls):  # noqa: F841
            pass
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize(
    "cls", [Step, ImageSource, halvo.BuildImageResult, halvo.ImageEntry, halvo.ImageClient]
)
def test_classes_without_constructor_cannot_be_called(cls):
    with pytest.raises(TypeError):
        cls()


def test_keyword_arguments():
    assert Step.copy(dst="/d", src="s") == Step.copy("s", "/d")
    assert Step.env(value="v", key="k") == Step.env("k", "v")
    assert Recipe(steps=["x"], base="b") == Recipe("b", ["x"])
    assert Recipe("b").step(step="x") == Recipe("b").steps(steps=("x",))
    assert ImageSource.reference(reference="r") == ImageSource.reference("r")
    assert ImageSource.recipe(recipe=Recipe("b")) == ImageSource.recipe(Recipe("b"))
    assert Recipe.from_dockerfile(content="FROM b") == Recipe("b")


@pytest.mark.parametrize(
    "value, text, representation",
    [
        (Step.run("echo hi"), "RUN echo hi", "Step(RUN echo hi)"),
        (Step.copy("a b", "/dst"), "COPY a b /dst", "Step(COPY a b /dst)"),
        (Step.copy(pathlib.PurePosixPath("/x/y"), "/d"), "COPY /x/y /d", "Step(COPY /x/y /d)"),
        # a host path that is not UTF-8 shows U+FFFD
        (Step.copy("caf\udce9", "d"), "COPY caf\ufffd d", "Step(COPY caf\ufffd d)"),
        (Step.env("A", "b c"), "ENV A=b c", "Step(ENV A=b c)"),
        (Step.env("PATH", "/bin"), "ENV PATH=/bin", "Step(ENV PATH=/bin)"),
        (Step.workdir("/w"), "WORKDIR /w", "Step(WORKDIR /w)"),
        (Step.run('say "hi"\n'), 'RUN say "hi"\n', 'Step(RUN say "hi"\n)'),
    ],
)
def test_step_text_and_repr(value, text, representation):
    assert str(value) == text
    assert repr(value) == representation


@pytest.mark.parametrize(
    "value, representation",
    [
        (Recipe("alpine"), 'Recipe(base="alpine", steps=[])'),
        (Recipe("alpine", ["echo hi"]), 'Recipe(base="alpine", steps=["RUN echo hi"])'),
        (Recipe("", [Step.env("A", 'x"y'), Step.workdir("/w")]),
         'Recipe(base="", steps=["ENV A=x\\"y", "WORKDIR /w"])'),
        (Recipe("a\tb\u0301"), 'Recipe(base="a\\tb\\u{301}", steps=[])'),
        (ImageSource.reference("app:1"), 'ImageSource.reference("app:1")'),
        (ImageSource.reference('a"b\nc'), 'ImageSource.reference("a\\"b\\nc")'),
        (ImageSource.digest("sha256:00"), 'ImageSource.digest("sha256:00")'),
        (ImageSource.recipe(Recipe("alpine", ["x"])), 'ImageSource.recipe(Recipe(base="alpine", steps=["RUN x"]))'),
    ],
)
def test_recipe_and_source_repr(value, representation):
    assert repr(value) == representation


@pytest.mark.parametrize(
    "a, b",
    [
        (Recipe("alpine"), Recipe("alpine", [])),
        (Recipe("alpine", ["a", "b"]), Recipe("alpine", (Step.run("a"), Step.run("b")))),
        (Recipe("alpine").step("a").steps(["b"]), Recipe("alpine", ["a", "b"])),
        (Step.copy("a//b/", "d"), Step.copy("a/b", "d")),
        (Step.copy("a/./b", "d"), Step.copy("a/b", "d")),
        (ImageSource.recipe(Recipe("x", ["y"])), ImageSource.recipe(Recipe("x", ["y"]))),
        (ImageSource.digest("d"), ImageSource.digest("d")),
    ],
)
def test_equal_values(a, b):
    assert a == b and not a != b


@pytest.mark.parametrize(
    "a, b",
    [
        (Recipe("alpine"), Recipe("debian")),
        (Recipe("alpine", ["a", "b"]), Recipe("alpine", ["b", "a"])),
        (Step.run("x"), Step.workdir("x")),
        (Step.env("A", "1"), Step.env("A", "2")),
        (Step.copy("./a", "d"), Step.copy("a", "d")),
        (Step.copy("/a", "d"), Step.copy("a", "d")),
        (ImageSource.reference("x"), ImageSource.digest("x")),
        # no equality across classes, even with the same text
        (Step.run("x"), "RUN x"),
        (Recipe("alpine"), ImageSource.recipe(Recipe("alpine"))),
    ],
)
def test_unequal_values(a, b):
    assert a != b and not a == b
    assert b != a and not b == a


@pytest.mark.parametrize("value", [Step.run("x"), Recipe("a"), ImageSource.digest("d")])
def test_values_are_unhashable_and_unordered(value):
    with pytest.raises(TypeError):
        hash(value)
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(value, op)(value) is NotImplemented
    with pytest.raises(TypeError):
        value < value  # noqa: B015


@pytest.mark.parametrize("cls", [Step, Recipe, ImageSource])
def test_help_lists_only_the_comparisons_that_work(cls):
    shown = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for op in ("__eq__", "__ne__"):
        assert op in vars(cls) and op in shown
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert op not in vars(cls) and op not in shown


def test_results_keep_identity_equality_and_hash():
    # equality by value is only for the three value classes
    for cls in (halvo.BuildImageResult, halvo.ImageEntry, halvo.ImageClient):
        assert cls.__eq__ is object.__eq__
        assert cls.__hash__ is object.__hash__


def test_recipe_step_and_steps_return_new_recipes():
    base = Recipe("alpine", ["a"])
    longer = base.step(Step.env("K", "V"))
    longest = longer.steps(["b", Step.workdir("/w")])
    assert base == Recipe("alpine", ["a"])
    assert longer == Recipe("alpine", ["a", Step.env("K", "V")])
    assert longest == Recipe("alpine", ["a", Step.env("K", "V"), "b", Step.workdir("/w")])
    assert longest.base == "alpine"
    assert not hasattr(base, "version")
    with pytest.raises(AttributeError):
        base.base = "other"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Recipe("a", "echo"), f"argument 'steps': {STR_TO_VEC}"),
        (lambda: Recipe("a").steps("echo"), f"argument 'steps': {STR_TO_VEC}"),
        (lambda: Recipe("a", [1]), "argument 'steps': expected Step or str, got int"),
        (lambda: Recipe("a").step(b"x"), "argument 'step': expected Step or str, got bytes"),
        (lambda: Recipe("a", {"x"}), "argument 'steps'"),
        (lambda: Recipe(1), "argument 'base': expected str"),
        (lambda: Step.run(["ls"]), "argument 'cmd': expected str"),
        (lambda: Step.copy(b"src", "d"), "argument 'src'"),
        (lambda: Step.copy("src", pathlib.Path("d")), "argument 'dst': expected str"),
        (lambda: ImageSource.reference(None), "argument 'reference': expected str"),
        (lambda: ImageSource.recipe("alpine"), "argument 'recipe': expected Recipe, got str"),
        (lambda: ImageSource.recipe(ImageSource.recipe(Recipe("a"))), "argument 'recipe': expected Recipe"),
        (lambda: Recipe.from_dockerfile(b"FROM a"), "argument 'content': expected str"),
        (lambda: Step.run(), "missing required argument 'cmd'"),
        (lambda: Step.env("k", "v", "x"), "takes 2 positional arguments but 3 were given"),
    ],
)
def test_wrong_arguments_raise_type_error(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


@pytest.mark.parametrize(
    "content, expected",
    [
        ("from alpine\nrun echo hi\n", Recipe("alpine", ["echo hi"])),
        ("# only\nFROM debian:12\r\nCOPY src /dst\nENV A=1 B='two words'\nWORKDIR /w\n",
         Recipe("debian:12", [Step.copy("src", "/dst"), Step.env("A", "1"), Step.env("B", "two words"),
                              Step.workdir("/w")])),
        ("FROM a\nRUN one \\\n# between\n  two\n", Recipe("a", ["one two"])),
    ],
)
def test_from_dockerfile(content, expected):
    assert Recipe.from_dockerfile(content) == expected


@pytest.mark.parametrize(
    "content, message",
    [
        ("", "this Dockerfile has no FROM, so there is no base to build on"),
        ("FROM a\n\n# note\n\nMAINTAINER x\n",
         "Dockerfile:5: MAINTAINER is not one of FROM, RUN, COPY, ENV and WORKDIR, which is all a declaration has"),
        ("FROM alpine AS build", "Dockerfile:1: a named stage \u2014 this builds one stage only"),
        ("FROM a\nCOPY [\"a\", \"b\"]",
         "Dockerfile:2: COPY in its JSON form \u2014 this translates `COPY <src> <dst>` and nothing else"),
    ],
)
def test_from_dockerfile_errors_are_halvo_errors(content, message):
    with pytest.raises(halvo.HalvoError) as info:
        Recipe.from_dockerfile(content)
    assert type(info.value) is halvo.HalvoError
    assert info.value.args == (message,)


def test_from_dockerfile_lone_surrogate_is_not_text():
    with pytest.raises(UnicodeEncodeError):
        Recipe.from_dockerfile("FROM a\udc80")
