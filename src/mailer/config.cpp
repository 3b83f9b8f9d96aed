// EasyMailer.__init__: the configuration of one mailer.
#include "function.hpp"
#include "stdlib.hpp"

namespace corvenda {

namespace {
enum { SELF, HOST, PORT, USERNAME, PASSWORD, USE_SSL, USE_TLS, DEFAULT_SENDER, TEMPLATE_DIR };
}

// The binder has already converted port to an int and the two flags to
// bools, and tested every other argument's type.
Ref mailer_init(const Env& env, Args args) {
    PyObject* self = args[SELF];
    if (args[USE_SSL] == Py_True && args[USE_TLS] == Py_True)
        raise(PyExc_ValueError, "use_ssl and use_tls cannot both be True.");

    setattr(self, env[S::host], args[HOST]);
    setattr(self, env[S::port], args[PORT]);
    setattr(self, env[S::username], args[USERNAME]);
    setattr(self, env[S::password], args[PASSWORD]);
    setattr(self, env[S::use_ssl], args[USE_SSL]);
    setattr(self, env[S::use_tls], args[USE_TLS]);
    PyObject* sender = nonempty_str(args[DEFAULT_SENDER]) ? args[DEFAULT_SENDER] : args[USERNAME];
    setattr(self, env[S::default_sender], sender);

    Ref engine = call(global(env, S::TemplateEngine), args[TEMPLATE_DIR]);
    setattr(self, env[S::template_engine_attr], engine.get());
    return Ref::borrow(Py_None);
}

}  // namespace corvenda
