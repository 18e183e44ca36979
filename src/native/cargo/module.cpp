#include <nanobind/nanobind.h>

#include "cargo/config.hpp"
#include "cargo/multipart.hpp"
#include "cargo/offloader.hpp"
#include "cargo/remote_files.hpp"
#include "cargo/sizing.hpp"
#include "common/signatures.hpp"

namespace nb = nanobind;
namespace cg = corvid::cargo;

NB_MODULE(cargo, m) {
    // An offloader or a remote file held by a daemon thread may still be
    // alive when the interpreter exits; collectability is checked by the
    // tests, not at exit.
    nb::set_leak_warnings(false);
    cg::register_config(m);
    cg::register_sizing(m);
    cg::register_offloader(m);
    cg::register_multipart(m);
    cg::register_remote_files(m);
    corvid::register_signatures(m);
}
