// One wrapped call as dispatch and the offload gate see it.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

// The argument tuple, keyword dict, thunk and display name exist only once
// something asks for them: a call that stays local on the C++ path runs
// straight from the caller's argument vector.
class CallSite {
public:
    virtual nb::handle args() = 0;
    virtual nb::handle kwargs() = 0;
    virtual nb::handle thunk() = 0;
    virtual nb::handle name() = 0;
    // The hash of the call's signature key `sig` (wrappers remember it).
    virtual Py_hash_t sig_hash(nb::handle sig) = 0;
    // The same where it is known without computing it, else -1.
    virtual Py_hash_t known_sig_hash(nb::handle sig) = 0;
    // Runs the user's call here; its errors are the user's.
    virtual nb::object run() = 0;

protected:
    ~CallSite() = default;
};

// A call handed over as Python objects (the monitor methods called from Python).
class ThunkSite final : public CallSite {
public:
    ThunkSite(nb::handle args, nb::handle kwargs, nb::handle thunk, nb::handle name)
        : args_(args), kwargs_(kwargs), thunk_(thunk), name_(name) {}
    nb::handle args() override { return args_; }
    nb::handle kwargs() override { return kwargs_; }
    nb::handle thunk() override { return thunk_; }
    nb::handle name() override { return name_; }
    Py_hash_t sig_hash(nb::handle sig) override {
        Py_hash_t h = PyObject_Hash(sig.ptr());
        if (h == -1) throw nb::python_error();
        return h;
    }
    Py_hash_t known_sig_hash(nb::handle) override { return -1; }
    nb::object run() override { return exit_safe([&] { return thunk_(); }); }

private:
    nb::handle args_, kwargs_, thunk_, name_;
};

}  // namespace corvid::overflow
