import pytest

from corvid import serve


class Upper(str):
    pass


@pytest.mark.parametrize(
    "response, pieces",
    [
        ("whole answer", ["whole answer"]),
        ("", [""]),
        ([1, 2], ["1", "2"]),
        (["a", None, 2.5], ["a", "None", "2.5"]),
        ((x for x in "ab"), ["a", "b"]),
        ({"k": 1}, ["k"]),
        (b"hi", ["104", "105"]),
        (7, ["7"]),
        (None, ["None"]),
        ([], []),
    ],
)
def test_iter_response(response, pieces):
    assert list(serve._iter_response(response)) == pieces


def test_iter_response_keeps_str_subclasses_and_is_lazy():
    seen = []

    def gen():
        seen.append("started")
        yield Upper("x")

    it = serve._iter_response(gen())
    assert seen == []
    first = next(it)
    assert type(first) is Upper and seen == ["started"]
    with pytest.raises(StopIteration):
        next(it)


def test_iter_response_propagates_errors_of_the_iterable():
    def gen():
        yield "ok"
        raise KeyError("late failure")

    it = serve._iter_response(gen())
    assert next(it) == "ok"
    with pytest.raises(KeyError):
        next(it)


class Recorder:
    def __init__(self):
        self.calls = []


def test_two_argument_handler_gets_prompt_and_history():
    history = [{"role": "user", "content": "x"}]
    calls = []

    def handler(prompt, hist):
        calls.append((prompt, hist))
        return "ok"

    assert serve._call_handler(handler, "p", history) == "ok"
    assert calls == [("p", history)] and calls[0][1] is history


@pytest.mark.parametrize(
    "handler",
    [
        lambda prompt: f"one:{prompt}",
        lambda prompt, *, style="plain": f"one:{prompt}",
    ],
)
def test_one_argument_handler_gets_prompt_alone(handler):
    assert serve._call_handler(handler, "p", []) == "one:p"


def test_type_error_inside_a_two_argument_handler_is_not_retried():
    calls = []

    def handler(prompt, history):
        calls.append(prompt)
        raise TypeError("bug inside the handler")

    with pytest.raises(TypeError, match="bug inside the handler"):
        serve._call_handler(handler, "p", [])
    assert calls == ["p"]


def test_type_error_inside_a_one_argument_handler_is_not_hidden():
    calls = []

    def handler(prompt):
        calls.append(prompt)
        raise TypeError("one-arg bug")

    with pytest.raises(TypeError, match="one-arg bug"):
        serve._call_handler(handler, "p", [])
    assert calls == ["p"]


def test_variadic_and_callable_objects():
    class Bot:
        def __call__(self, prompt, history=None):
            return (prompt, history)

    assert serve._call_handler(Bot(), "p", ["h"]) == ("p", ["h"])
    assert serve._call_handler(lambda *args: args, "p", ["h"]) == ("p", ["h"])


class Unreadable:
    """A callable whose signature inspect cannot read."""

    __signature__ = "not a signature"

    def __init__(self, arity):
        self.arity = arity
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        if len(args) != self.arity:
            raise TypeError("wrong number of arguments")
        return f"{self.arity}-arg"


def test_unreadable_signature_falls_back_on_type_error():
    one = Unreadable(1)
    assert serve._call_handler(one, "p", ["h"]) == "1-arg"
    assert one.calls == [("p", ["h"]), ("p",)]
    two = Unreadable(2)
    assert serve._call_handler(two, "p", ["h"]) == "2-arg"
    assert two.calls == [("p", ["h"])]


def test_handler_fitting_neither_form_raises_type_error_once():
    calls = []

    def handler(prompt, history, extra):
        calls.append(prompt)

    with pytest.raises(TypeError):
        serve._call_handler(handler, "p", [])
    assert calls == []


def test_pieces_iterator_in_a_reference_cycle_is_collected():
    import gc
    import weakref

    class Answer:
        def __iter__(self):
            return iter(["x"])

    answer = Answer()
    answer.pieces = serve._iter_response(answer)
    gone = weakref.ref(answer)
    del answer
    gc.collect()
    assert gone() is None
