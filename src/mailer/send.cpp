// EasyMailer.send and send_template: the two public operations.
#include "function.hpp"
#include "stdlib.hpp"

namespace corvenda {

Ref mailer_send(const Env& env, Args args) {
    enum { SELF, TO, SUBJECT, BODY, HTML, CC, BCC, SENDER, SENDER_NAME, ATTACHMENTS, REPLY_TO };
    PyObject* self = args[SELF];

    // self._build_message(to=..., subject=..., ..., reply_to=...): bcc stays out.
    PyObject* build_args[] = {nullptr, self, args[TO], args[SUBJECT], args[BODY], args[HTML], args[CC],
                              args[SENDER], args[SENDER_NAME], args[ATTACHMENTS], args[REPLY_TO]};
    Ref msg = check(PyObject_VectorcallMethod(env[S::build_message], build_args + 1,
                                              1 | PY_VECTORCALL_ARGUMENTS_OFFSET, env.st.kw_build_message));
    Ref recipients = call_method(self, env[S::collect_recipients], args[TO], args[CC], args[BCC]);
    Ref sender = nonempty_str(args[SENDER]) ? Ref::borrow(args[SENDER]) : getattr(self, env[S::default_sender]);
    call_method(self, env[S::do_send], msg.get(), recipients.get(), sender.get());
    return Ref::borrow(Py_None);
}

namespace {

/// `self._template_engine.<method>(text, context)`, the engine read afresh.
Ref render(const Env& env, PyObject* self, S method, PyObject* text, PyObject* context) {
    Ref engine = getattr(self, env[S::template_engine_attr]);
    Ref function = getattr(engine.get(), env[method]);
    return call(function, text, context);
}

}  // namespace

Ref mailer_send_template(const Env& env, Args args) {
    enum { SELF, TO, SUBJECT, TEMPLATE_NAME, CONTEXT, CC, BCC, SENDER, SENDER_NAME, ATTACHMENTS, REPLY_TO };
    PyObject* self = args[SELF];

    // context or {}: an empty or missing dict is replaced, a filled one is
    // the caller's own and receives "occurred_at".
    Ref context = args[CONTEXT] != Py_None && PyDict_GET_SIZE(args[CONTEXT]) > 0 ? Ref::borrow(args[CONTEXT])
                                                                                  : check(PyDict_New());
    Ref now = call_method(global(env, S::datetime).get(), env[S::now]);
    Ref stamp = call_method(now.get(), env[S::strftime], env[S::timestamp_format]);
    check(PyDict_SetDefaultRef(context.get(), env[S::occurred_at], stamp.get(), nullptr));

    Ref html_name = check(PyUnicode_Concat(args[TEMPLATE_NAME], env[S::dot_html]));
    Ref html = render(env, self, S::render, html_name.get(), context.get());
    Ref text_name = check(PyUnicode_Concat(args[TEMPLATE_NAME], env[S::dot_txt]));
    Ref text = render(env, self, S::render, text_name.get(), context.get());
    Ref subject = render(env, self, S::render_string, args[SUBJECT], context.get());

    PyObject* send_args[] = {nullptr,     self,         args[TO],     subject.get(),     text.get(),
                             html.get(),  args[CC],     args[BCC],    args[SENDER],      args[SENDER_NAME],
                             args[ATTACHMENTS], args[REPLY_TO]};
    check(PyObject_VectorcallMethod(env[S::send], send_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    env.st.kw_send));
    return Ref::borrow(Py_None);
}

}  // namespace corvenda
