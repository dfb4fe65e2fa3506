// error.cpp: raising, taking and normalizing errors; PanicException.
#include "binding/error.hpp"

#include <cstdio>
#include <cstring>

#include "binding/once_cell.hpp"
#include "core/fault.hpp"

namespace tessaray::binding {

namespace {

OnceCell panic_cell;

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when the native code of tessaray, called from Python, fails with an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// The qualified name of a class as text, or the placeholder when it cannot be read.
std::string qualified_name(PyObject* cls) {
    Ref name = Ref::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(cls)));
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return lossy_utf8(name.get());
}

std::string receiver_message(PyObject* object, PyObject* expected) {
    std::string text;
    if (object == Py_None) {
        text.append("'None' is not an instance of '");
    } else {
        text.append("'").append(qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(object))));
        text.append("' object is not an instance of '");
    }
    text.append(qualified_name(expected)).append("'");
    return text;
}

// Makes a str, or ends in a fault (which, while raising, aborts).  Bytes
// that are not UTF-8 become backslash escapes rather than a decoding error.
Ref make_str(const std::string& text) {
    return Ref::steal(
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace")));
}

}  // namespace

std::string lossy_utf8(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    Ref repaired =
        Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
    if (!repaired) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
    return "\xEF\xBF\xBD";
}

std::string display_text(PyObject* obj) {
    if (Ref text = Ref::steal(PyObject_Str(obj))) return lossy_utf8(text.get());
    PyErr_Clear();
    return "<unprintable>";
}

PyErr PyErr::lazy(PyObject* exception_class, std::string message) {
    return PyErr(Kind::Lazy, exception_class, std::move(message), Ref(), Ref());
}

PyErr PyErr::panic(std::string message) { return PyErr(Kind::Panic, nullptr, std::move(message), Ref(), Ref()); }

PyErr PyErr::receiver(PyObject* object, PyObject* expected_class) {
    return PyErr(Kind::Receiver, PyExc_TypeError, std::string(), Ref::borrow(object), Ref::borrow(expected_class));
}

PyErr PyErr::no_memory() { return PyErr(Kind::NoMemory, PyExc_MemoryError, std::string(), Ref(), Ref()); }

PyErr PyErr::no_memory(std::size_t bytes) {
    PyErr err = no_memory();
    err.bytes_ = bytes;  // formatted when raised: building text now could fail for want of memory
    return err;
}

PyErr PyErr::normalized(Ref instance) {
    return PyErr(Kind::Normalized, nullptr, std::string(), std::move(instance), Ref());
}

namespace {

// Set in a module built beside tessaray: it raises tessaray's PanicException
// rather than a class of its own.
bool panic_class_shared = false;

// The one "pyo3_runtime.PanicException" class that exists already (new
// reference), or null when there is none or more than one.
PyObject* existing_panic_class() {
    Ref subclasses = Ref::steal(PyObject_CallMethod(PyExc_BaseException, "__subclasses__", nullptr));
    PyObject* found = nullptr;
    if (subclasses && PyList_Check(subclasses.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
            PyObject* cls = PyList_GET_ITEM(subclasses.get(), i);
            if (!PyType_Check(cls) ||
                std::strcmp(reinterpret_cast<PyTypeObject*>(cls)->tp_name, "pyo3_runtime.PanicException") != 0) {
                continue;
            }
            if (found != nullptr) return nullptr;
            found = cls;
        }
    }
    if (PyErr_Occurred()) PyErr_Clear();
    return Py_XNewRef(found);
}

}  // namespace

void share_panic_class() noexcept { panic_class_shared = true; }

PyObject* panic_exception_class() {
    return panic_cell.get_or_init([] {
        if (panic_class_shared) {
            if (PyObject* existing = existing_panic_class()) return existing;
        }
        PyObject* made =
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
        if (made == nullptr) {
            PyErr_Clear();
            core::raise_fault("Failed to initialize new exception type.");
        }
        return made;
    });
}

void restore(PyErr&& err) {
    switch (err.kind_) {
        case PyErr::Kind::Normalized: PyErr_SetRaisedException(err.object_.release()); return;
        case PyErr::Kind::NoMemory:
            // Should the message itself find no memory, its MemoryError stands.
            if (err.bytes_ != 0) {
                PyErr_Format(PyExc_MemoryError, "memory allocation of %zu bytes failed", err.bytes_);
            } else {
                PyErr_NoMemory();
            }
            return;
        case PyErr::Kind::Panic: {
            PyObject* cls = panic_exception_class();
            Ref text = make_str(err.message_);
            Ref args = Ref::steal(checked(PyTuple_Pack(1, text.get())));
            PyErr_SetObject(cls, args.get());
            return;
        }
        case PyErr::Kind::Receiver: {
            Ref text = make_str(receiver_message(err.object_.get(), err.expected_.get()));
            PyErr_SetObject(err.class_, text.get());
            return;
        }
        case PyErr::Kind::Lazy: {
            Ref text = make_str(err.message_);
            PyErr_SetObject(err.class_, text.get());
            return;
        }
    }
}

std::optional<PyErr> take() {
    Ref instance = Ref::steal(PyErr_GetRaisedException());
    if (!instance) return std::nullopt;
    // Shared, the class is looked for only when this module raises a panic
    // itself: until then, no exception can be of it.
    PyObject* panic_class = panic_class_shared ? panic_cell.get() : panic_exception_class();
    if (reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) != panic_class) {
        return PyErr::normalized(std::move(instance));
    }
    // A PanicException came back from Python code: resume the fault it stands for.
    std::string message = "Unwrapped panic from Python code";
    if (Ref text = Ref::steal(PyObject_Str(instance.get()))) {
        message = lossy_utf8(text.get());
    } else {
        PyErr_Clear();
    }
    std::fputs("--- tessaray is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
    std::fputs("Python stack trace below:\n", stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(instance.release());
    PyErr_PrintEx(0);
    core::raise_reported_fault(std::move(message));
}

PyErr fetch() {
    if (auto err = take()) return std::move(*err);
    return PyErr::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
}

PyObject* make_normalized(PyErr& err) {
    if (err.is_normalized()) return err.instance();
    restore(std::move(err));
    Ref instance = Ref::steal(PyErr_GetRaisedException());
    if (!instance) core::raise_fault("exception missing after writing to the interpreter");
    err = PyErr::normalized(std::move(instance));
    return err.instance();
}

void panic_on_null() {
    if (auto pending = take()) {
        restore(std::move(*pending));
        PyErr_WriteUnraisable(nullptr);
    }
    core::raise_fault("PyObject pointer is null");
}

}  // namespace tessaray::binding
