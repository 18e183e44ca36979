import gc
import weakref

import pytest

from corvid import serve


class Tagged(str):
    pass


@pytest.mark.parametrize(
    "response, pieces",
    [("whole", ["whole"]), ("", [""]), ([1, "a", None], ["1", "a", "None"]), ((c for c in "ab"), ["a", "b"]),
     ({"k": 1}, ["k"]), (b"hi", ["104", "105"]), (7, ["7"]), (None, ["None"]), ([], [])],
)
def test_iter_response(response, pieces):
    assert list(serve._iter_response(response)) == pieces


def test_iter_response_is_lazy_keeps_str_subclasses_and_passes_errors_on():
    seen = []

    def gen():
        seen.append("started")
        yield Tagged("x")
        raise KeyError("late failure")

    it = serve._iter_response(gen())
    assert seen == []
    assert type(next(it)) is Tagged and seen == ["started"]
    with pytest.raises(KeyError):
        next(it)
    with pytest.raises(TypeError):  # made by __new__ alone: no C++ part to read
        next(type(it).__new__(type(it)))


class Bot:
    def __call__(self, prompt, history=None):
        return ("bot", prompt, history)


@pytest.mark.parametrize(
    "handler, expected",
    [(lambda prompt, history: (prompt, history), ("p", ["h"])),
     (lambda *args: args, ("p", ["h"])),
     (Bot(), ("bot", "p", ["h"])),
     (lambda prompt: prompt, "p"),
     (lambda prompt, *, style="plain": (prompt, style), ("p", "plain"))],
)
def test_handler_form_comes_from_its_signature(handler, expected):
    assert serve._call_handler(handler, "p", ["h"]) == expected


@pytest.mark.parametrize("two_args", [True, False])
def test_type_error_inside_a_handler_is_raised_after_one_call(two_args):
    calls = []

    def body(prompt):
        calls.append(prompt)
        raise TypeError("bug inside the handler")

    handler = (lambda prompt, history: body(prompt)) if two_args else body
    with pytest.raises(TypeError, match="bug inside the handler"):
        serve._call_handler(handler, "p", [])
    assert calls == ["p"]


class Unreadable:
    """A callable whose signature inspect cannot read."""

    __signature__ = "not a signature"

    def __init__(self, arity):
        self.arity, self.calls = arity, []

    def __call__(self, *args):
        self.calls.append(args)
        if len(args) != self.arity:
            raise TypeError("wrong number of arguments")
        return self.arity


@pytest.mark.parametrize("arity, calls", [(1, [("p", ["h"]), ("p",)]), (2, [("p", ["h"])])])
def test_unreadable_signature_falls_back_on_type_error(arity, calls):
    handler = Unreadable(arity)
    assert serve._call_handler(handler, "p", ["h"]) == arity and handler.calls == calls


def test_handler_fitting_neither_form_is_not_run():
    calls = []
    with pytest.raises(TypeError):
        serve._call_handler(lambda prompt, history, extra: calls.append(prompt), "p", [])
    assert calls == []


def test_pieces_iterator_in_a_reference_cycle_is_collected():
    class Answer:
        def __iter__(self):
            return iter(["x"])

    answer = Answer()
    answer.pieces = serve._iter_response(answer)
    gone = weakref.ref(answer)
    del answer
    gc.collect()
    assert gone() is None
