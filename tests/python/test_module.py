import inspect
import subprocess
import sys

import pytest

import orvelle

SEEDS = [["he", "him"], ["she", "her"]]


def test_module_surface():
    assert orvelle.__all__ == ["version", "calculator", "visualize"]
    assert orvelle.__doc__ == orvelle.orvelle.__doc__ == ""
    assert not hasattr(orvelle, "Calculator")
    assert str(inspect.signature(orvelle.version)) == "()"
    assert str(inspect.signature(orvelle.visualize)) == "(port=Ellipsis)"
    assert list(inspect.signature(orvelle.calculator).parameters) == [
        "path", "subspace_seeds", "random_token_num", "random_token_seed",
        "subspace_folder_path", "exclude_words", "user_friendly", "pca_dimension"]
    assert orvelle.calculator.__doc__ is None or orvelle.calculator.__doc__ == ""


def test_panic_exception_is_base_exception(panic_type):
    with pytest.raises(panic_type):  # one type object for every failure
        orvelle.calculator("/nonexistent/orvelle-test-2.jsonl", [["she"]])
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert issubclass(panic_type, BaseException)
    assert not issubclass(panic_type, Exception)


def test_panic_reaches_python_with_message_and_diagnostic(tmp_path):
    code = (
        "import orvelle\n"
        "try:\n"
        "    orvelle.calculator('/nonexistent/x.jsonl', [['he']])\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__, len(e.args))\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert r.stdout.strip() == "PanicException 1"
    diagnostic = r.stderr.strip().splitlines()
    assert len(diagnostic) == 1 and diagnostic[0].startswith("orvelle: calculator() failed: ")


@pytest.mark.parametrize("again, expected", [
    # the extension itself imported a second time
    ("del sys.modules['orvelle.orvelle']\nimportlib.import_module('orvelle.orvelle')",
     "PyO3 modules may only be initialized once per interpreter process"),
    # a fresh import of the package initialises the extension again
    ("del sys.modules['orvelle']\nimportlib.import_module('orvelle')",
     "PyO3 modules may only be initialized once per interpreter process"),
    # a reload keeps the extension already loaded
    ("importlib.reload(orvelle)", "reused"),
])
def test_second_initialisation_is_refused(tmp_path, again, expected):
    code = (
        "import sys, importlib, orvelle\n"
        "try:\n"
        + "".join(f"    {line}\n" for line in again.splitlines()) +
        "except ImportError as e:\n"
        "    print(e)\n"
        "else:\n"
        "    print('reused')\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert r.stdout.strip() == expected, r.stderr


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class NotStr:
    pass


ARGUMENT_ERRORS = [
    # (args, kwargs, exception, message)
    ((), {}, TypeError,
     "calculator() missing 2 required positional arguments: 'path' and 'subspace_seeds'"),
    (("f",), {}, TypeError, "calculator() missing 1 required positional argument: 'subspace_seeds'"),
    (("f", SEEDS, 0.8, 1, "./", None, False, 512, 9), {}, TypeError,
     "calculator() takes from 2 to 8 positional arguments but 9 were given"),
    (("f", SEEDS), {"path": "g"}, TypeError, "calculator() got multiple values for argument 'path'"),
    (("f", SEEDS), {"folder": "g"}, TypeError, "calculator() got an unexpected keyword argument 'folder'"),
    # a keyword UTF-8 cannot carry names no parameter; it is shown with replacement characters
    (("f", SEEDS), {"\udcff": 1}, TypeError,
     "calculator() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ((1, SEEDS), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ((None, SEEDS), {}, TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (("f", "he"), {}, TypeError, "argument 'subspace_seeds': Can't extract `str` to `Vec`"),
    (("f", ["he"]), {}, TypeError, "argument 'subspace_seeds': Can't extract `str` to `Vec`"),
    (("f", 3), {}, TypeError, "argument 'subspace_seeds': 'int' object cannot be converted to 'Sequence'"),
    (("f", {"a": 1}), {}, TypeError, "argument 'subspace_seeds': 'dict' object cannot be converted to 'Sequence'"),
    (("f", [[1]]), {}, TypeError, "argument 'subspace_seeds': 'int' object cannot be converted to 'PyString'"),
    (("f", [[NotStr()]]), {}, TypeError,
     "argument 'subspace_seeds': 'NotStr' object cannot be converted to 'PyString'"),
    (("f", SEEDS, "x"), {}, TypeError, "argument 'random_token_num': must be real number, not str"),
    (("f", SEEDS), {"random_token_seed": 1.5}, TypeError,
     "argument 'random_token_seed': 'float' object cannot be interpreted as an integer"),
    (("f", SEEDS), {"random_token_seed": 2**63}, OverflowError, "Python int too large to convert to C long"),
    (("f", SEEDS), {"random_token_seed": -2**63 - 1}, OverflowError, "Python int too large to convert to C long"),
    (("f", SEEDS), {"subspace_folder_path": b"out"}, TypeError,
     "argument 'subspace_folder_path': 'bytes' object cannot be converted to 'PyString'"),
    (("f", SEEDS), {"exclude_words": "the"}, TypeError, "argument 'exclude_words': Can't extract `str` to `Vec`"),
    (("f", SEEDS), {"exclude_words": 5}, TypeError,
     "argument 'exclude_words': 'int' object cannot be converted to 'Sequence'"),
    (("f", SEEDS), {"exclude_words": [None]}, TypeError,
     "argument 'exclude_words': 'NoneType' object cannot be converted to 'PyString'"),
    (("f", SEEDS), {"user_friendly": 1}, TypeError,
     "argument 'user_friendly': 'int' object cannot be converted to 'PyBool'"),
    (("f", SEEDS), {"pca_dimension": -1}, OverflowError, "can't convert negative int to unsigned"),
    (("f", SEEDS), {"pca_dimension": 2**64}, OverflowError, "int too big to convert"),
    (("f", SEEDS), {"pca_dimension": "512"}, TypeError,
     "argument 'pca_dimension': 'str' object cannot be interpreted as an integer"),
    # The first failing conversion wins; later arguments are not looked at.
    ((1, "he"), {"user_friendly": 1}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("args,kwargs,exc,message", ARGUMENT_ERRORS)
def test_calculator_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        orvelle.calculator(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_argument_error_keeps_the_cause():
    class Bad:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as k:
                raise TypeError("no float") from k

    with pytest.raises(TypeError) as info:
        orvelle.calculator("f", SEEDS, Bad())
    assert str(info.value) == "argument 'random_token_num': no float"
    assert isinstance(info.value.__cause__, KeyError)


def test_typeerror_subclass_is_not_rewrapped():
    class MyError(TypeError):
        pass

    class Bad:
        def __float__(self):
            raise MyError("own")

    with pytest.raises(MyError, match="^own$"):
        orvelle.calculator("f", SEEDS, Bad())


def test_unicode_encode_error_passes_unchanged():
    with pytest.raises(UnicodeEncodeError):
        orvelle.calculator("\udcff", SEEDS)


@pytest.mark.parametrize("kwargs", [
    {},
    dict(random_token_num=None, random_token_seed=None, subspace_folder_path=None,
         exclude_words=None, user_friendly=None, pca_dimension=None),
    dict(random_token_num=2, random_token_seed=True, exclude_words=("a", "b"), user_friendly=False,
         pca_dimension=Index(512)),
])
def test_accepted_arguments_reach_the_analysis(kwargs, panic_type):
    # A missing file fails inside the analysis, after every conversion passed.
    with pytest.raises(panic_type) as info:
        orvelle.calculator("/nonexistent/orvelle-test.jsonl", (("he", "him"), ["she"]), **kwargs)
    assert not isinstance(info.value, TypeError)
