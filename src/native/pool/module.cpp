#include <nanobind/nanobind.h>

#include "pool/auth.hpp"
#include "pool/data_pool.hpp"
#include "pool/environments.hpp"
#include "pool/packages.hpp"
#include "pool/transport.hpp"
#include "common/signatures.hpp"

namespace pl = corvid::pool;

NB_MODULE(pool, m) {
    pl::register_auth(m);
    pl::register_transport(m);
    pl::register_data_pool(m);
    pl::register_environments(m);
    pl::register_packages(m);
    corvid::register_signatures(m);
}
