// Module entry: creates `orvelle` with its three functions.
#include <atomic>

#include "module/host/errors.hpp"
#include "module/host/functions.hpp"
#include "module/host/space_warnings.hpp"
#include "linalg/simd_level.hpp"
#include "util/progress_bar.hpp"

namespace {

using namespace orvelle::host;

// The instruction-set level the kernels run at ("baseline", "avx2",
// "avx512" or "native"), choosing it if no kernel has run yet.
PyObject* simd_level(PyObject*, PyObject*) {
    return guarded("_simd_level()", []() -> PyObject* {
        const std::string_view name = orvelle::simd_level_name(orvelle::simd_level());
        return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
    });
}

// decomposition_progress(after_seconds): from now on a decomposition that
// runs that long shows a line with its elapsed time on standard error; None
// switches the lines off. For the command line.
PyObject* decomposition_progress(PyObject*, PyObject* after) {
    return guarded("_decomposition_progress()", [after]() -> PyObject* {
        double seconds = -1.0;
        if (after != Py_None) {
            seconds = PyFloat_AsDouble(after);
            if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
            if (!(seconds >= 0.0)) {
                PyErr_SetString(PyExc_ValueError, "_decomposition_progress(): seconds must be 0 or more, or None");
                return nullptr;
            }
        }
        orvelle::ElapsedLine::show_after(seconds);
        Py_RETURN_NONE;
    });
}

PyMethodDef kMethods[] = {
    {"version", reinterpret_cast<PyCFunction>(version), METH_NOARGS, "version()\n--\n\n"},
    {"calculator", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calculator)),
     METH_VARARGS | METH_KEYWORDS,
     "calculator(path, subspace_seeds, random_token_num=..., random_token_seed=..., "
     "subspace_folder_path=..., exclude_words=..., user_friendly=..., pca_dimension=...)\n--\n\n"},
    {"visualize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(visualize)),
     METH_VARARGS | METH_KEYWORDS, "visualize(port=...)\n--\n\n"},
};

// For the package's own Python layer (measure, extraction, tests): module
// attributes, not listed in __all__.
PyMethodDef kPrivate[] = {
    {"_measure", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(measure)), METH_VARARGS | METH_KEYWORDS,
     "_measure(path, subspace_seeds, random_token_num=..., random_token_seed=..., subspace_folder_path=..., "
     "exclude_words=..., user_friendly=..., pca_dimension=..., targets=..., draws=..., shards=..., resamples=...)\n--\n\n"},
    {"_simd_level", simd_level, METH_NOARGS, "_simd_level()\n--\n\n"},
    {"_decomposition_progress", decomposition_progress, METH_O, "_decomposition_progress(after_seconds)\n--\n\n"},
    {"_feature_line", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feature_line)),
     METH_VARARGS | METH_KEYWORDS, "_feature_line(line_index, tokens, layers, values, dtype, width, digits)\n--\n\n"},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "orvelle", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<bool> g_initialised{false};

PyObject* create_module() {
    if (g_initialised.exchange(true))
        raise(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
    Ref module = own(PyModule_Create2(&kModule, PYTHON_ABI_VERSION));
    Ref all = own(PyList_New(0));
    Ref all_name = own(PyUnicode_FromString("__all__"));
    check_status(PyObject_SetAttr(module.get(), all_name.get(), all.get()));
    for (PyMethodDef& def : kMethods) {
        Ref name = own(PyUnicode_FromString(def.ml_name));
        Ref module_name = own(PyUnicode_FromString("orvelle"));
        Ref fn = own(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        check_status(PyObject_SetAttr(module.get(), name.get(), fn.get()));
        check_status(PyList_Append(all.get(), name.get()));
    }
    Ref module_name = own(PyUnicode_FromString("orvelle"));
    for (PyMethodDef& def : kPrivate) {
        Ref fn = own(PyCFunction_NewEx(&def, module.get(), module_name.get()));
        check_status(PyObject_SetAttrString(module.get(), def.ml_name, fn.get()));
    }
    check_status(PyObject_SetAttrString(module.get(), "RankDeficiencyWarning", rank_warning_type()));
    check_status(PyObject_SetAttrString(module.get(), "SparseSpaceWarning", sparse_warning_type()));
    check_status(PyObject_SetAttrString(module.get(), "MissingWordWarning", missing_word_warning_type()));
    return module.release();
}

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_orvelle() {
    return guarded("import orvelle", create_module);
}
