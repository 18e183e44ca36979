// Adaptive choice of how many part uploads to keep in flight.
#pragma once
#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace corvid::pacer {
namespace nb = nanobind;

inline constexpr double kGrow = 1.5;
inline constexpr double kEps = 0.05;
inline constexpr std::int64_t kSamplesPerDepth = 2;
inline constexpr std::int64_t kMinWaveParts = 4;

// Measures the goodput of waves of finished parts and grows the depth
// geometrically while each step still pays off; then it freezes on the best
// depth seen. Owned and driven by one thread.
//
// Depths and byte counts are Python ints: the owner passes sizes and bounds
// of any magnitude, and a running byte total must never wrap.
struct DepthController {
    nb::object floor;
    nb::object cap;
    nb::object clock;
    nb::object target;
    bool frozen = true;
    std::optional<double> ref_goodput;
    nb::object best_target;
    std::optional<double> wave_t0;
    nb::object wave_bytes;
    nb::object wave_parts;
    bool discard_next = false;
    nb::list samples;
    nb::list trajectory;

    DepthController(nb::handle floor_arg, nb::handle cap_arg, nb::handle clock_arg);

    void record(nb::handle nbytes);
    void observe(double goodput);
    void grow();

    template <typename F>
    void for_each_ref(F &&f) {
        for (nb::object *o : {&floor, &cap, &clock, &target, &best_target, &wave_bytes, &wave_parts,
                              static_cast<nb::object *>(&samples), static_cast<nb::object *>(&trajectory)})
            f(*o);
    }
};

void register_depth_controller(nb::module_ &m);

}  // namespace corvid::pacer
