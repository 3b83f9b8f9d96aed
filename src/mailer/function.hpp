// The method objects of EasyMailer: one heap type per module, described by a
// table entry per method and served by one argument binder.
#pragma once

#include "state.hpp"

#include <cstdint>
#include <span>

namespace corvenda {

inline constexpr int max_params = 11;

enum class Default : std::uint8_t { None, True, False };

struct Param {
    const char* name;
    const char* annotation;  // stored as text; nullptr for none
};

/// The bound arguments of one call, in parameter order.
using Args = PyObject* const*;
using Impl = Ref (*)(const Env& env, Args args);

/// Everything a caller can see of one method, and its body.
struct MethodInfo {
    const char* name;
    bool is_static;
    std::span<const Param> params;
    std::span<const Default> defaults;  // for the last parameters; empty: no defaults
    const char* return_annotation;      // nullptr: no "return" entry
    const char* doc;                    // nullptr: no docstring
    Impl impl;
};

/// The eight methods of EasyMailer, in class order.
std::span<const MethodInfo> mailer_methods();

/// Creates the method type for `module` (stored in its state).
PyTypeObject* make_function_type(PyObject* module);

/// Creates the method object for `info`; `qualname_prefix` is the class name.
Ref make_function(PyObject* module, const MethodInfo& info, PyObject* class_name);

// Method bodies, one unit per role.
Ref mailer_init(const Env& env, Args args);
Ref mailer_send(const Env& env, Args args);
Ref mailer_send_template(const Env& env, Args args);
Ref mailer_build_message(const Env& env, Args args);
Ref mailer_attach_file(const Env& env, Args args);
Ref mailer_attach_binary(const Env& env, Args args);
Ref mailer_collect_recipients(const Env& env, Args args);
Ref mailer_do_send(const Env& env, Args args);

}  // namespace corvenda
