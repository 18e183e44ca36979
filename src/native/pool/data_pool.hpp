// The team's shared data pool: contribute, list, remove, datasets.
#pragma once
#include "pool/common.hpp"

namespace corvid::pool {

nb::object list_datasets(const CallOptions &opts);
nb::object get_dataset(nb::handle dataset_id, const CallOptions &opts);

void register_data_pool(nb::module_ &m);

}  // namespace corvid::pool
