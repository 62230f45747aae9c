import math
import weakref

import pytest

import orvelle
from features import write_features


@pytest.fixture(scope="module")
def calc(tmp_path_factory):
    folder = tmp_path_factory.mktemp("calc")
    path = write_features(folder / "features.jsonl", lines=30, seed=5)
    return orvelle.calculator(str(path), [["he", "him"], ["she", "her"], ["doctor"]],
                              subspace_folder_path=str(folder))


def test_type_properties(calc):
    t = type(calc)
    assert (t.__name__, t.__qualname__, t.__module__, t.__doc__) == ("Calculator", "Calculator", "builtins", None)
    assert t.__base__ is object
    with pytest.raises(TypeError, match="^No constructor defined$"):
        t()
    with pytest.raises(TypeError):
        type("Sub", (t,), {})
    assert not hasattr(calc, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(calc)
    with pytest.raises(AttributeError):
        calc.extra = 1
    assert not hasattr(orvelle, "Calculator")


@pytest.mark.parametrize("name,signature", [
    ("bias_sum_average", "($self)"),
    ("bias_asb_sum_average", "($self)"),
    ("save_summary", "($self, path=...)"),
])
def test_method_signatures(calc, name, signature):
    assert getattr(type(calc), name).__text_signature__ == signature


def test_averages(calc):
    plain, absolute = calc.bias_sum_average(), calc.bias_asb_sum_average()
    assert list(plain) == ["Space of he", "Space of she", "Space of doctor"]
    assert list(absolute) == list(plain)
    for name in plain:
        assert absolute[name] >= abs(plain[name]) or math.isnan(plain[name])
    assert calc.bias_sum_average() == plain and calc.bias_sum_average() is not plain


SAVE_ERRORS = [
    (("a", "b"), {}, TypeError, "Calculator.save_summary() takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"folder": "x"}, TypeError, "Calculator.save_summary() got an unexpected keyword argument 'folder'"),
    (("a",), {"path": "b"}, TypeError, "Calculator.save_summary() got multiple values for argument 'path'"),
    ((5,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (("\udcff",), {}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("args,kwargs,exc,message", SAVE_ERRORS)
def test_save_summary_argument_errors(calc, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        calc.save_summary(*args, **kwargs)
    if message:
        assert str(info.value) == message
    calc.bias_sum_average()  # still usable


def test_no_argument_methods_refuse_arguments(calc):
    with pytest.raises(TypeError):
        calc.bias_sum_average(1)


@pytest.mark.parametrize("call", [
    lambda c: c.save_summary(), lambda c: c.save_summary(None), lambda c: c.save_summary(path="./"),
])
def test_default_folder_is_current_directory(calc, tmp_path, monkeypatch, call):
    monkeypatch.chdir(tmp_path)
    call(calc)
    content = (tmp_path / "calculator_summary.txt").read_text()
    assert content.startswith('ideal_similarity: {"Space of he": {') and content.count("\n") == 1


def test_summary_overwrites_longer_file(calc, tmp_path):
    (tmp_path / "calculator_summary.txt").write_text("x" * 10**6)
    calc.save_summary(str(tmp_path))
    assert len((tmp_path / "calculator_summary.txt").read_bytes()) < 10**6


@pytest.mark.parametrize("folder,message", [
    ("/nonexistent-orvelle", 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("a\0b", 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
])
def test_summary_failures(calc, panic_type, folder, message):
    with pytest.raises(panic_type) as info:
        calc.save_summary(folder)
    assert info.value.args == ("called `Result::unwrap()` on an `Err` value: " + message,)
