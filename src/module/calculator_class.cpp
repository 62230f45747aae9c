// The Python class `Calculator`: read-only access to one analysis' result.
#include <array>
#include <atomic>
#include <new>

#include "module/host/args.hpp"
#include "module/host/calculator_object.hpp"
#include "module/host/released.hpp"

namespace orvelle::host {

namespace {

struct CalculatorObject {
    PyObject_HEAD
    Calculator value;
    std::size_t borrows;  // shared borrows in progress; nothing borrows exclusively
};

std::atomic<PyObject*> g_type{nullptr};

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<CalculatorObject*>(self)->value.~Calculator();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// Method entry: the receiver must be a Calculator; the borrow lasts for the call.
class Borrow {
public:
    explicit Borrow(PyObject* self) {
        PyTypeObject* type = calculator_type();
        if (!PyObject_TypeCheck(self, type)) raise_downcast(self, "Calculator");
        obj_ = reinterpret_cast<CalculatorObject*>(self);
        ++obj_->borrows;
    }
    ~Borrow() { --obj_->borrows; }
    const Calculator& get() const { return obj_->value; }

private:
    CalculatorObject* obj_ = nullptr;
};

PyObject* to_dict(const OrderedTable<double>& table) {
    Ref dict = own(PyDict_New());
    for (const auto& [name, value] : table) {
        Ref key = own(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        Ref number = own(PyFloat_FromDouble(value));
        if (PyDict_SetItem(dict.get(), key.get(), number.get()) != 0)
            panic("Failed to set_item on dict: " + take_error_debug());
    }
    return dict.release();
}

PyObject* bias_sum_average(PyObject* self, PyObject*) {
    return guarded("Calculator.bias_sum_average()", [&] {
        Borrow calc(self);
        return to_dict(with_lock_released([&] { return calc.get().bias_sum_average(); }));
    });
}

PyObject* bias_asb_sum_average(PyObject* self, PyObject*) {
    return guarded("Calculator.bias_asb_sum_average()", [&] {
        Borrow calc(self);
        return to_dict(with_lock_released([&] { return calc.get().bias_asb_sum_average(); }));
    });
}

constexpr const char* kSaveParams[] = {"path"};
constexpr Signature kSaveSignature{"Calculator.save_summary()", kSaveParams, 0};

PyObject* save_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded("Calculator.save_summary()", [&]() -> PyObject* {
        Borrow calc(self);
        std::array<PyObject*, 1> given{};
        bind_arguments(kSaveSignature, args, kwargs, given);
        std::string folder = optional_argument("path", given[0], to_string).value_or("./");
        with_lock_released([&] { calc.get().save_summary(folder); });
        Py_RETURN_NONE;
    });
}

PyMethodDef kMethods[] = {
    {"bias_sum_average", bias_sum_average, METH_NOARGS, "bias_sum_average($self)\n--\n\n"},
    {"bias_asb_sum_average", bias_asb_sum_average, METH_NOARGS, "bias_asb_sum_average($self)\n--\n\n"},
    {"save_summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_summary)),
     METH_VARARGS | METH_KEYWORDS, "save_summary($self, path=...)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.Calculator",
    static_cast<int>(sizeof(CalculatorObject)),
    0,
    Py_TPFLAGS_DEFAULT,  // not a base type: no subclasses
    kSlots,
};

}  // namespace

PyTypeObject* calculator_type() {
    try {
        return reinterpret_cast<PyTypeObject*>(created_once(g_type, [] { return PyType_FromSpec(&kSpec); }));
    } catch (const PythonError&) {
        PyErr_Print();
        panic("failed to create type object for Calculator");
    }
}

PyObject* wrap_calculator(Calculator&& value) {
    PyTypeObject* type = calculator_type();
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) unwrap_failed(take_error_debug());
    auto* obj = reinterpret_cast<CalculatorObject*>(self);
    new (&obj->value) Calculator(std::move(value));
    obj->borrows = 0;
    return self;
}

}  // namespace orvelle::host
