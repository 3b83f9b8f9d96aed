// EasyMailer._attach_file and _attach_binary: one Base64 attachment part
// each, appended to the message as the last step.
#include "function.hpp"
#include "headers.hpp"
#include "stdlib.hpp"

namespace corvenda {

namespace {

/// The type to use: `guessed` when true, else application/octet-stream.
Ref or_octet_stream(const Env& env, Ref guessed) {
    if (truth(guessed.get())) return guessed;
    return Ref::borrow(env[S::octet_stream]);
}

/// `item[key]` on an exact dict; KeyError(key) when missing.
Ref required_key(PyObject* item, PyObject* key) {
    PyObject* value = nullptr;
    if (!check(PyDict_GetItemRef(item, key, &value))) {
        PyErr_SetObject(PyExc_KeyError, key);
        throw PyError();
    }
    return Ref::steal(value);
}

/// The payload for `data`: text as its UTF-8 bytes, anything else unchanged.
/// (The Base64 step would write a str's code points above 127 as
/// backslash escapes, corrupting the attachment.)
Ref payload_of(Ref data) {
    if (!PyUnicode_Check(data.get())) return data;
    return check(PyUnicode_AsUTF8String(data.get()));
}

}  // namespace

Ref mailer_attach_file(const Env& env, Args args) {
    PyObject* msg = args[0];
    PyObject* filepath = args[1];

    Ref path = call(global(env, S::Path), filepath);
    if (!truth(call_method(path.get(), env[S::is_file]).get())) {
        Ref message = check(PyUnicode_Concat(env[S::not_found], filepath));
        PyErr_SetObject(PyExc_FileNotFoundError, message.get());
        throw PyError();
    }
    Ref path_text = check(PyObject_Str(path.get()));
    Ref content_type = or_octet_stream(env, guess_type(env, path_text.get()));
    auto [maintype, subtype] = split_content_type(env, content_type.get());
    Ref part = mime_base(env, maintype.get(), subtype.get());

    Ref file = call(env.st.open, path.get(), env[S::rb]);
    with_block(env, file.get(), [&](PyObject* f) {
        Ref data = call_method(f, env[S::read]);
        call_method(part.get(), env[S::set_payload], data.get());
    });
    encode_base64(env, part.get());
    Ref name = getattr(path.get(), env[S::name]);
    add_disposition(env, part.get(), name.get());
    attach(env, msg, part.get());
    return Ref::borrow(Py_None);
}

Ref mailer_attach_binary(const Env& env, Args args) {
    PyObject* msg = args[0];
    PyObject* item = args[1];

    Ref filename = required_key(item, env[S::filename]);
    Ref data = required_key(item, env[S::data]);
    PyObject* given = nullptr;
    check(PyDict_GetItemRef(item, env[S::content_type], &given));
    Ref content_type = given ? Ref::steal(given) : Ref::borrow(Py_None);
    if (!truth(content_type.get())) content_type = or_octet_stream(env, guess_type(env, filename.get()));
    auto [maintype, subtype] = split_content_type(env, content_type.get());
    Ref part = mime_base(env, maintype.get(), subtype.get());

    Ref payload = payload_of(data);
    call_method(part.get(), env[S::set_payload], payload.get());
    encode_base64(env, part.get());
    add_disposition(env, part.get(), filename.get());
    attach(env, msg, part.get());
    return Ref::borrow(Py_None);
}

}  // namespace corvenda
