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

#include "dataframe.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <vector>
#include <string>

namespace kestro::native {

// Whether pandas copies on write: always from pandas 3 on, and in pandas 2
// when the user turned the mode on.  The option is only read where reading
// it is silent (before pandas 3).
// The major version of the pandas in use, read once per process (a module
// cannot be swapped for another version while the process runs).
inline int pandasMajor(py::handle pd) {
    static std::atomic<int> major{0};
    int known = major.load(std::memory_order_relaxed);
    if (known == 0) {
        const std::string version = py::str(pd.attr("__version__")).cast<std::string>();
        known = std::max(1, std::atoi(version.c_str()));
        major.store(known, std::memory_order_relaxed);
    }
    return known;
}

inline bool copyOnWrite(py::handle pd) {
    if (pandasMajor(pd) >= 3) return true;
    py::object setting = py::getattr(pd.attr("options").attr("mode"), "copy_on_write", py::none());
    return setting.is(py::bool_(true)) || equals(setting, "warn");
}

// Reads one attribute, as `getattr` does, of objects that are mostly of one
// type, without the class hierarchy look-up per read: for a type that keeps
// the default `__getattribute__`, the class's data descriptor (a Cython or
// slot attribute) is applied directly, or else the instance's own
// `__dict__` is asked.  Anything else (no such entry, a class attribute
// that is not a data descriptor, a type with its own `__getattribute__`)
// takes the ordinary look-up.
class AttributeReader {
public:
    explicit AttributeReader(py::object name) : name_(std::move(name)) {}

    py::object read(py::handle object) {
        PyTypeObject* type = Py_TYPE(object.ptr());
        if (type_.ptr() != reinterpret_cast<PyObject*>(type)) learn(type);
        if (plain_) {
            if (descriptor_) {
                return steal(Py_TYPE(descriptor_.ptr())
                                 ->tp_descr_get(descriptor_.ptr(), object.ptr(),
                                                reinterpret_cast<PyObject*>(type)));
            }
            if (PyObject* found = ownEntry(object)) return steal(found);
        }
        return steal(PyObject_GetAttr(object.ptr(), name_.ptr()));
    }

private:
    void learn(PyTypeObject* type) {
        type_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type));
        descriptor_ = py::object();
        py::object standard = steal(PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__getattribute__"));
        py::object own = steal(
            PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__getattribute__"));
        plain_ = own.is(standard);
        PyObject* found = _PyType_Lookup(type, name_.ptr());  // borrowed
        if (found == nullptr) return;
        PyTypeObject* kind = Py_TYPE(found);
        if (kind->tp_descr_get != nullptr && kind->tp_descr_set != nullptr) {
            descriptor_ = py::reinterpret_borrow<py::object>(found);
        } else {
            plain_ = false;  // the instance dict comes first, then this
        }
    }

    // A new reference to the entry in `object.__dict__`, or null (no
    // exception set) when there is none.
    PyObject* ownEntry(py::handle object) const {
        PyObject** dict = _PyObject_GetDictPtr(object.ptr());
        if (dict == nullptr || *dict == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        PyObject* entry = PyDict_GetItemWithError(*dict, name_.ptr());
        if (entry == nullptr && PyErr_Occurred()) throw py::error_already_set();
        Py_XINCREF(entry);
        return entry;
    }

    py::object name_;
    py::object type_;
    py::object descriptor_;
    bool plain_ = false;
};

class PandasStorage {
public:
    PandasStorage()
        : mgrName_(heldName(Attr::mgr)),
          blocksName_(heldName(Attr::blocks)),
          ixsName_(heldName(Attr::ixs)),
          valuesName_(heldName(Attr::arrayOf)) {}

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
    // into Python code, to notice a changed storage cheaply.  The manager is
    // an attribute of the table's own: read as the generic look-up reads it,
    // without asking pandas' `__getattr__` hook first (which would only
    // answer for a name the table does not have).
    py::object manager(py::handle table) const { return managerOf_.read(table); }
    py::object blocks(py::handle manager) const { return blocksOf_.read(manager); }

    // Every block with its array and placement, to compare by identity.
    py::list blockKey(py::handle blocks) const {
        py::list key;
        for (py::handle block : blocks) {
            key.append(block);
            key.append(block.attr(attrName(Attr::values)));
            key.append(block.attr(attrName(Attr::mgr_locs)));
        }
        return key;
    }

    // The distinct element types of `table`'s features (in no set order, a
    // type may repeat): one per block where pandas keeps blocks, which
    // spares building the `dtypes` Series; every feature's type otherwise.
    py::list featureTypes(py::handle table) const {
        py::list types;
        py::object blockList = blocksOf(table);
        if (!blockList) {
            return py::list(table.attr(attrName(Attr::dtypes)).attr(attrName(Attr::tolist))());
        }
        for (py::handle block : blockList) types.append(block.attr(attrName(Attr::dtype)));
        return types;
    }

    // The blocks of `table`'s block manager, or a null handle when pandas
    // holds the table some other way or the table is of a subclass (which
    // may answer `dtypes` its own way).
    py::object blocksOf(py::handle table) const {
        py::object frameType = global(Name::pd).attr(attrName(Attr::DataFrame));
        if (!py::type::handle_of(table).is(frameType)) return py::object();
        py::object mgr = py::getattr(table, mgrName_, py::none());
        if (mgr.is_none()) return py::object();
        py::object found = py::getattr(mgr, blocksName_, py::none());
        if (!py::isinstance<py::tuple>(found) && !py::isinstance<py::list>(found)) {
            return py::object();
        }
        return found;
    }

    // The element type of every feature of `table`, in feature order.
    std::vector<py::object> columnTypes(py::handle table) const {
        const Py_ssize_t width = py::len(table.attr(attrName(Attr::columns)));
        std::vector<py::object> types(static_cast<std::size_t>(width));
        py::object blockList = blocksOf(table);
        if (blockList && py::len(blockList) == 1) {
            // One block holds every feature (a wide one-type table has
            // as many positions as features: they are not read).
            types.assign(types.size(),
                         py::object(blockList[py::int_(0)].attr(attrName(Attr::dtype))));
            return types;
        }
        if (blockList) {
            bool complete = true;
            for (py::handle block : blockList) {
                complete = complete && placeBlock(block, types);
            }
            complete = complete && std::all_of(types.begin(), types.end(),
                                               [](const py::object& t) { return bool(t); });
            if (complete) return types;
        }
        std::size_t j = 0;
        for (py::handle dtype : table.attr(attrName(Attr::dtypes)).attr(attrName(Attr::tolist))()) {
            if (j == types.size()) break;
            types[j++] = py::reinterpret_borrow<py::object>(dtype);
        }
        return types;
    }

    // The array `iat` reads column `j` from: the manager's own column
    // array where it offers one (no Series is built), else the column
    // Series' array.  The caller verifies that it is the table's memory.
    py::object columnValues(py::handle table, Py_ssize_t j) const {
        py::object mgr = manager(table);
        py::object direct = py::getattr(mgr, "iget_values", py::none());
        if (!direct.is_none()) return direct(j);
        py::object series = table.attr(ixsName_)(j, py::arg("axis") = 1);
        return series.attr(valuesName_);
    }

    // The int64 view of a numpy-backed datetime array, or None.
    py::object datetimeIntegers(py::handle values) const {
        if (!py::hasattr(values, "_ndarray")) return py::none();
        return values.attr("_ndarray").attr(attrName(Attr::view))("i8");
    }


    // The copy-on-write reference tracker of column `j`'s block, or a null
    // handle when pandas keeps none this adapter knows.
    py::object references(py::handle table, Py_ssize_t j) const {
        py::object mgr = manager(table);
        py::object blockNumbers = py::getattr(mgr, "blknos", py::none());
        if (blockNumbers.is_none()) return py::object();
        py::object block = blocks(mgr)[blockNumbers[py::int_(j)]];
        py::object refs = py::getattr(block, "refs", py::none());
        if (refs.is_none() || !py::hasattr(refs, "referenced_blocks") ||
            !py::hasattr(refs, "has_reference")) {
            return py::object();
        }
        return refs;
    }

    // Whether another live pandas object shares the tracker's block (the
    // tracker drops its dead entries first).
    bool referenced(py::handle refs) const { return truthy(refs.attr("has_reference")()); }

    // Whether a block's tracker may list another pandas object than the
    // block itself (dead entries included, which `referenced` prunes): an
    // O(1) test, cheap enough for every call into Python code.
    bool mayBeShared(py::handle refs) const {
        py::object listed = referencedOf_.read(refs);
        return !PyList_CheckExact(listed.ptr()) || PyList_GET_SIZE(listed.ptr()) > 1;
    }

    // Whether `array` is the memory the public route reads column `j` of
    // `table` from (`table.iloc[:, j].to_numpy()`), so that a write into it
    // is a write into the table.  `owners` holds the arrays already shown
    // to be table memory: a column inside one of them needs no public read.
    bool ownMemory(py::handle table, Py_ssize_t j, py::handle array,
                   std::vector<py::object>& owners) const {
        py::object ndarray = global(Name::np).attr("ndarray");
        if (!py::type::handle_of(array).is(ndarray)) return false;
        py::array column = py::reinterpret_borrow<py::array>(array);
        py::object base = column.attr("base");
        py::object owner = base.is_none() ? py::reinterpret_borrow<py::object>(array) : base;
        for (const py::object& known : owners) {
            if (known.is(owner) && within(column, known)) return true;
        }
        py::object published = ilocColumns(table, py::int_(j)).attr(attrName(Attr::to_numpy))();
        if (!py::type::handle_of(published).is(ndarray)) return false;
        py::array seen = py::reinterpret_borrow<py::array>(published);
        if (seen.ndim() != 1 || column.ndim() != 1 || seen.shape(0) != column.shape(0) ||
            seen.data() != column.data() ||
            (column.shape(0) > 1 && seen.strides(0) != column.strides(0))) {
            return false;
        }
        if (py::type::handle_of(owner).is(ndarray)) owners.push_back(owner);
        return true;
    }

private:
    // Whether every item of `column` lies in the memory of the array `owner`.
    static bool within(const py::array& column, py::handle owner) {
        py::array whole = py::reinterpret_borrow<py::array>(owner);
        const auto* first = static_cast<const char*>(whole.data());
        const auto* last = first + whole.nbytes();
        const auto* start = static_cast<const char*>(column.data());
        if (column.ndim() != 1 || column.shape(0) == 0) return false;
        const auto* end = start + (column.shape(0) - 1) * column.strides(0);
        const auto* low = std::min(start, end);
        const auto* high = std::max(start, end) + column.itemsize();
        return low >= first && high <= last;
    }

    // Records `block`'s type at each feature position it holds; false when
    // a position lies outside `types`.
    static bool placeBlock(py::handle block, std::vector<py::object>& types) {
        py::object dtype = block.attr(attrName(Attr::dtype));
        const auto width = static_cast<Py_ssize_t>(types.size());
        using Positions = py::array_t<Py_ssize_t, py::array::c_style | py::array::forcecast>;
        Positions positions =
            Positions::ensure(block.attr(attrName(Attr::mgr_locs)).attr("as_array"));
        if (!positions) return false;  // the public route answers instead
        const Py_ssize_t* at = positions.data();
        for (Py_ssize_t k = 0; k < positions.size(); ++k) {
            if (at[k] < 0 || at[k] >= width) return false;
            types[static_cast<std::size_t>(at[k])] = dtype;
        }
        return true;
    }

    py::object mgrName_, blocksName_, ixsName_, valuesName_;
    // Read after every call into Python code.
    mutable AttributeReader managerOf_{mgrName_}, blocksOf_{blocksName_},
        referencedOf_{steal(PyUnicode_InternFromString("referenced_blocks"))};
};

}  // namespace kestro::native
