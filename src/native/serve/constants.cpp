#include "serve/constants.hpp"

namespace corvid::serve {

void register_constants(nb::module_ &m) {
    init_names(m);
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
