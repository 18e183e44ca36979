#include <nanobind/nanobind.h>

#include "cargo/config.hpp"
#include "cargo/multipart.hpp"
#include "cargo/offloader.hpp"
#include "cargo/remote_files.hpp"
#include "cargo/sizing.hpp"

namespace cg = corvid::cargo;

NB_MODULE(cargo, m) {
    cg::register_config(m);
    cg::register_sizing(m);
    cg::register_offloader(m);
    cg::register_multipart(m);
    cg::register_remote_files(m);
}
