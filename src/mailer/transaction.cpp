// The mail transaction of corvenda._bulk, pipelined where the server allows.
#include "transaction.hpp"
#include "headers.hpp"
#include "stdlib.hpp"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace corvenda {

namespace {

/// The message text as sent after DATA: line ends made CRLF, a leading dot
/// doubled, ended by CRLF "." CRLF.  `size` receives the length before the
/// dots were doubled (the SIZE parameter).  Non-ASCII text raises the
/// UnicodeEncodeError sendmail raises.
Ref data_bytes(PyObject* text, Py_ssize_t& size) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "the serialised message must be str, not %.200s", Py_TYPE(text)->tp_name);
        throw PyError();
    }
    if (!PyUnicode_IS_ASCII(text)) {
        check(PyUnicode_AsASCIIString(text));  // raises the encoding error
        raise(PyExc_UnicodeError, "message text is not ASCII");
    }
    const char* s = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    std::string out;
    out.reserve(static_cast<size_t>(n + n / 32 + 8));
    Py_ssize_t doubled = 0;
    bool line_start = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < n && s[i + 1] == '\n') ++i;
            out += "\r\n";
            line_start = true;
            continue;
        }
        if (line_start && c == '.') {
            out += '.';
            ++doubled;
        }
        out += c;
        line_start = false;
    }
    size = static_cast<Py_ssize_t>(out.size()) - doubled;
    if (!std::string_view(out).ends_with("\r\n")) out += "\r\n";
    out += ".\r\n";
    return check(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

/// One command line: `verb` and `smtplib.quoteaddr(address)`, refused like
/// smtplib refuses a command with a line break inside.
void add_command(const Env& env, std::string& out, std::string_view verb, PyObject* address, const char* options) {
    Ref quoted = call(getattr(global(env, S::smtplib).get(), env[S::quoteaddr]), address);
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(quoted.get(), &length);
    if (!text) throw PyError();
    std::string_view addr(text, static_cast<size_t>(length));
    if (addr.find_first_of("\r\n") != std::string_view::npos)
        raise(PyExc_ValueError, "command and arguments contain prohibited newline characters");
    out += verb;
    out += addr;
    out += options;
    out += "\r\n";
}

/// `server.send(text)`: commands go as str, which the client encodes as ASCII.
void send_text(const Env& env, PyObject* server, const std::string& text) {
    Ref str = check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    call_method(server, env[S::send], str.get());
}

struct Reply {
    long code = 0;
    Ref code_obj;
    Ref text;  // bytes, as smtplib gives it
};

Reply get_reply(const Env& env, PyObject* server) {
    Ref pair = call_method(server, env[S::getreply]);
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2)
        raise(PyExc_TypeError, "getreply() must return a (code, text) pair");
    Ref code = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    long value = PyLong_AsLong(code.get());
    if (value == -1 && PyErr_Occurred()) throw PyError();
    return {value, code, Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
}

/// Reply text for a result: bytes decoded as UTF-8 with replacement.
Ref reply_str(PyObject* text) {
    if (PyBytes_Check(text))
        return check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(text), PyBytes_GET_SIZE(text), "replace"));
    return check(PyObject_Str(text));
}

[[noreturn]] void raise_smtp(const Env& env, S type, std::initializer_list<PyObject*> args) {
    Ref exc_type = getattr(global(env, S::smtplib).get(), env[type]);
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
    Py_ssize_t i = 0;
    for (PyObject* arg : args) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(arg));
    Ref exc = check(PyObject_Call(exc_type.get(), tuple.get(), nullptr));
    PyErr_SetObject(exc_type.get(), exc.get());
    throw PyError();
}

/// An error of the connection itself (smtplib's SMTPServerDisconnected,
/// a reset or a time-out are all OSError).
bool is_connection_error(const PyError& error) {
    return PyErr_GivenExceptionMatches(error.value(), PyExc_OSError);
}

}  // namespace

Ref submit(const Env& env, PyObject* server, PyObject* msg, PyObject* sender, PyObject* recipients) {
    Ref text = serialise(env, msg);
    Py_ssize_t size = 0;
    Ref data = data_bytes(text.get(), size);
    Ref items = check(PySequence_Fast(recipients, "recipients must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());

    call_method(server, env[S::ehlo_or_helo_if_needed]);
    const bool pipelining = truth(call_method(server, env[S::has_extn], env[S::pipelining]).get());
    std::string options;
    if (truth(call_method(server, env[S::has_extn], env[S::size]).get())) options = " SIZE=" + std::to_string(size);

    // Every command is written (and checked) before the first one is sent.
    std::string mail;
    add_command(env, mail, "MAIL FROM:", sender, options.c_str());
    std::string rcpt_lines;
    std::vector<std::string> single;
    single.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        std::string line;
        add_command(env, line, "RCPT TO:", PySequence_Fast_GET_ITEM(items.get(), i), "");
        rcpt_lines += line;
        single.push_back(std::move(line));
    }

    Ref accepted = check(PyList_New(0));
    Ref refused = check(PyDict_New());          // address -> (code, str) for the result
    Ref refused_bytes = check(PyDict_New());    // address -> (code, bytes) for SMTPRecipientsRefused
    auto record = [&](PyObject* address, const Reply& reply) {
        if (reply.code == 250 || reply.code == 251) {
            check(PyList_Append(accepted.get(), address));
            return;
        }
        Ref pair = check(PyTuple_Pack(2, reply.code_obj.get(), reply_str(reply.text.get()).get()));
        check(PyDict_SetItem(refused.get(), address, pair.get()));
        Ref raw = check(PyTuple_Pack(2, reply.code_obj.get(), reply.text.get()));
        check(PyDict_SetItem(refused_bytes.get(), address, raw.get()));
    };

    Reply mail_reply, data_reply;
    if (pipelining) {
        send_text(env, server, mail + rcpt_lines + "DATA\r\n");
        mail_reply = get_reply(env, server);
        for (Py_ssize_t i = 0; i < count; ++i) record(PySequence_Fast_GET_ITEM(items.get(), i), get_reply(env, server));
        data_reply = get_reply(env, server);
        if (data_reply.code == 354 && (mail_reply.code != 250 || PyList_GET_SIZE(accepted.get()) == 0)) {
            // A server that invited the text of a failed transaction gets an
            // empty one, whose reply does not count.
            call_method(server, env[S::send], check(PyBytes_FromString(".\r\n")).get());
            get_reply(env, server);
        }
        if (mail_reply.code != 250)
            raise_smtp(env, S::SMTPSenderRefused, {mail_reply.code_obj.get(), mail_reply.text.get(), sender});
    } else {
        send_text(env, server, mail);
        mail_reply = get_reply(env, server);
        if (mail_reply.code != 250)
            raise_smtp(env, S::SMTPSenderRefused, {mail_reply.code_obj.get(), mail_reply.text.get(), sender});
        for (Py_ssize_t i = 0; i < count; ++i) {
            send_text(env, server, single[static_cast<size_t>(i)]);
            record(PySequence_Fast_GET_ITEM(items.get(), i), get_reply(env, server));
        }
        if (PyList_GET_SIZE(accepted.get()) > 0) {
            send_text(env, server, "DATA\r\n");
            data_reply = get_reply(env, server);
        }
    }
    if (PyList_GET_SIZE(accepted.get()) == 0) raise_smtp(env, S::SMTPRecipientsRefused, {refused_bytes.get()});
    if (data_reply.code != 354)
        raise_smtp(env, S::SMTPDataError, {data_reply.code_obj.get(), data_reply.text.get()});

    // A failure while the text is written leaves the transaction unfinished:
    // the server discards it.  Once the last byte is out, it may keep it.
    call_method(server, env[S::send], data.get());
    Reply final_reply;
    try {
        final_reply = get_reply(env, server);
    } catch (PyError& error) {
        if (!is_connection_error(error)) throw;
        Ref result = check(PyTuple_Pack(5, accepted.get(), refused.get(), Py_None, env[S::empty], error.value()));
        return result;
    }
    if (final_reply.code != 250)
        raise_smtp(env, S::SMTPDataError, {final_reply.code_obj.get(), final_reply.text.get()});
    Ref final_text = reply_str(final_reply.text.get());
    return check(PyTuple_Pack(5, accepted.get(), refused.get(), final_reply.code_obj.get(), final_text.get(), Py_None));
}

}  // namespace corvenda
