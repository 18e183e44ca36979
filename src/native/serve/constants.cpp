#include "serve/constants.hpp"

namespace corvid::serve {

void register_constants(nb::module_ &m) {
    init_names(m);
    m.doc() =
        "Worker-side turn loop of a gateway session.\n\n"
        "serve_loop follows an input file of JSON requests (one per line), calls the handler once per\n"
        "request and reports on sys.stdout with one marker line each (session info, ready, heartbeat,\n"
        "turn start, Base64 tokens, liveness, turn end or turn error).\n\n"
        "Malformed input never ends the session: a line that is not a JSON object is a plain-text\n"
        "prompt (undecodable bytes read as U+FFFD; JSON too deep to parse is taken as text), and a\n"
        "request whose 'turn' cannot be converted with int() is answered with\n"
        "'GATEWAY_TURN_ERROR -1 <base64 of the problem>' (no TURN_START; -1 is never a turn number a\n"
        "driver assigns) before the loop goes on with the next line.\n\n"
        "The handler is called as handler(prompt, history) or handler(prompt), chosen from its\n"
        "signature; only when the signature cannot be read is a TypeError of the two-argument call\n"
        "taken as a sign to retry with the prompt alone.";
    m.attr("INPUT_PATH") = kInputPath;
    m.attr("SESSION_INFO") = kSessionInfo;
    m.attr("SESSION_READY") = kSessionReady;
    m.attr("HEARTBEAT") = kHeartbeat;
    m.attr("HEARTBEAT_INTERVAL") = kHeartbeatInterval;
    m.attr("TURN_START") = kTurnStart;
    m.attr("TURN_TOKEN") = kTurnToken;
    m.attr("TURN_ALIVE") = kTurnAlive;
    m.attr("TURN_END") = kTurnEnd;
    m.attr("TURN_ERROR") = kTurnError;
    m.attr("STOP_LINE") = kStopLine;

    // Callable[..., str | Iterable[Any]]: (prompt, history) or (prompt).
    nb::object typing = nb::module_::import_("typing");
    nb::object answer = typing.attr("Union")[nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)),
                                                            typing.attr("Iterable")[typing.attr("Any")])];
    m.attr("Handler") = typing.attr("Callable")[nb::make_tuple(nb::ellipsis(), answer)];
}

}  // namespace corvid::serve
