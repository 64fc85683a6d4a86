// The one adapter over pandas' private storage attributes.
//
// transform reads and writes elements through the column arrays of pandas'
// block manager instead of the per-element indexers.  Every private
// attribute that needs is read here, and each question has a public-API
// answer when pandas does not offer the attribute (an array manager, a
// DataFrame subclass, a pandas that renamed its internals): `usable()` is
// then false and the caller takes the public route (`iat` / `iloc`), which
// gives the same results, only more slowly.
#pragma once

#include "native_call.hpp"

#include <cstdlib>
#include <string>

namespace kestro::native {

// Whether pandas copies on write: always from pandas 3 on, and in pandas 2
// when the user turned the mode on.  The option is only read where reading
// it is silent (before pandas 3).
inline int pandasMajor(py::handle pd) {
    const std::string version = py::str(pd.attr("__version__")).cast<std::string>();
    return std::atoi(version.c_str());
}

inline bool copyOnWrite(py::handle pd) {
    if (pandasMajor(pd) >= 3) return true;
    py::object mode = pd.attr("options").attr("mode");
    if (!py::hasattr(mode, "copy_on_write")) return false;
    py::object setting = mode.attr("copy_on_write");
    return setting.is(py::bool_(true)) || equals(setting, "warn");
}

// Whether pandas stores Python strings in its own string dtype when it
// infers a column's type: always from pandas 3 on, and in pandas 2 when the
// user turned that future mode on.
inline bool infersStrings(py::handle pd) {
    if (pandasMajor(pd) >= 3) return true;
    py::object options = pd.attr("options");
    if (!py::hasattr(options, "future")) return false;
    py::object future = options.attr("future");
    return py::hasattr(future, "infer_string") && truthy(future.attr("infer_string"));
}

class PandasStorage {
public:
    PandasStorage()
        : mgrName_("_mgr"), blocksName_("blocks"), ixsName_("_ixs"), valuesName_("_values") {}

    // True when `table` is a plain pandas DataFrame held by a block manager
    // and not marked as a slice of another table.
    bool usable(py::handle table, py::handle dataFrameType) const {
        if (!py::type::handle_of(table).is(dataFrameType)) return false;
        if (!py::getattr(table, "_is_copy", py::none()).is_none()) return false;
        if (!py::hasattr(table, ixsName_) || !py::hasattr(table, mgrName_)) return false;
        py::object mgr = table.attr(mgrName_);
        return py::hasattr(mgr, blocksName_);
    }

    // The manager and its blocks: both compared by identity after every call
    // into Python code, to notice a changed storage cheaply.
    py::object manager(py::handle table) const {
        return steal(PyObject_GetAttr(table.ptr(), mgrName_.ptr()));
    }
    py::object blocks(py::handle manager) const {
        return steal(PyObject_GetAttr(manager.ptr(), blocksName_.ptr()));
    }

    // Every block with its array and placement, to compare by identity.
    py::list blockKey(py::handle blocks) const {
        py::list key;
        for (py::handle block : blocks) {
            key.append(block);
            key.append(block.attr("values"));
            key.append(block.attr("mgr_locs"));
        }
        return key;
    }

    // The distinct element types of `table`'s features (in no set order):
    // one per block where pandas keeps blocks, which spares building the
    // `dtypes` Series; every feature's type otherwise.
    py::list featureTypes(py::handle table) const {
        if (py::hasattr(table, mgrName_)) {
            py::object mgr = table.attr(mgrName_);
            if (py::hasattr(mgr, blocksName_)) {
                py::list types;
                for (py::handle block : mgr.attr(blocksName_)) types.append(block.attr("dtype"));
                return types;
            }
        }
        return py::list(table.attr("dtypes").attr("tolist")());
    }

    // The array `iat` reads column `j` from.
    py::object columnValues(py::handle table, Py_ssize_t j) const {
        py::object series = table.attr(ixsName_)(j, py::arg("axis") = 1);
        return series.attr(valuesName_);
    }

    // The int64 view of a numpy-backed datetime array, or None.
    py::object datetimeIntegers(py::handle values) const {
        if (!py::hasattr(values, "_ndarray")) return py::none();
        return values.attr("_ndarray").attr("view")("i8");
    }

    // Whether writing into column `j`'s memory changes no other pandas
    // object.  Under copy-on-write a column shared with another table (a
    // view, a shallow copy) is not, and neither is any column when pandas
    // cannot tell.
    bool exclusive(py::handle table, Py_ssize_t j, bool copyOnWrite) const {
        if (!copyOnWrite) return true;
        py::object mgr = manager(table);
        if (!py::hasattr(mgr, "_has_no_reference")) return false;
        return truthy(mgr.attr("_has_no_reference")(j));
    }

private:
    py::str mgrName_, blocksName_, ixsName_, valuesName_;
};

}  // namespace kestro::native
