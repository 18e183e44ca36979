// Calling the user's handler and turning its answer into text pieces.
#pragma once
#include "serve/common.hpp"

namespace corvid::serve {

// How a handler takes its arguments, read from its signature when possible.
enum class HandlerForm { PromptAndHistory, PromptOnly, Unknown };

HandlerForm handler_form(nb::handle handler);

// handler(prompt, history) or handler(prompt) according to `form`. Only for
// an unreadable signature is a TypeError from the two-argument call taken to
// mean "wrong form" and retried with the prompt alone.
nb::object call_handler(nb::handle handler, HandlerForm form, nb::handle prompt, nb::handle history);

// The pieces of a handler's answer, computed lazily: a str is one piece, an
// iterable gives its items (str() of non-strings), anything else is str()'d
// once.
class PieceSource {
public:
    explicit PieceSource(nb::object response) : response_(std::move(response)) {}

    // The next piece (a str), or an invalid object at the end.
    nb::object next();

    nb::object response_;
    nb::object iterator_;
    enum class State { Fresh, Iterating, Done } state_ = State::Fresh;
};

void register_handler(nb::module_ &m);

}  // namespace corvid::serve
