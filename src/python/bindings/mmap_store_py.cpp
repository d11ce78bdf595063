// PyMmapStore: the method layer over the memory-mapped node store. The store and its lock
// live inside the Python object; the file and mapping are released when it is dropped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <vector>

#include "python/bindings/args.hpp"
#include "python/bindings/errors.hpp"
#include "python/bindings/object_lock.hpp"
#include "python/bindings/py_ref.hpp"
#include "python/bindings/types.hpp"
#include "storage/mmap_store/mmap_store.hpp"
#include "storage/mmap_store/node_record.hpp"

namespace corvane::py {

namespace {

struct StoreObject {
    PyObject_HEAD
    PoisonLock lock;
    storage::MmapStore store;
};

StoreObject& store_of(PyObject* self) { return *reinterpret_cast<StoreObject*>(self); }

PyObject* store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Params params("PyMmapStore", {"path", "initial_size"}, 2);
    PyObject* a[2];
    std::string path;
    std::uint64_t initial_size = 0;
    if (!params.bind(args, kwargs, a) || !to_string(params, "path", a[0], path) ||
        !to_u64(params, "initial_size", a[1], initial_size)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        auto opened = storage::MmapStore::open(path, initial_size);
        if (!opened) return raise(opened.error());
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        auto* obj = reinterpret_cast<StoreObject*>(self);
        new (&obj->lock) PoisonLock();
        new (&obj->store) storage::MmapStore(std::move(*opened));
        return self;
    });
}

PyObject* append_dummy_node(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        // The sample record never changes: build it once.
        static const std::vector<std::uint8_t> record = storage::sample_node_record();
        StoreObject& s = store_of(self);
        Result<storage::AppendedRecord> appended = [&] {
            ExclusiveLock lock(s.lock);
            return s.store.append(record);
        }();
        if (!appended) return raise(appended.error());
        Ref offset(PyLong_FromUnsignedLongLong(appended->offset));
        Ref length(offset ? PyLong_FromUnsignedLongLong(appended->length) : nullptr);
        return length ? PyTuple_Pack(2, offset.get(), length.get()) : nullptr;
    });
}

PyObject* get_node_view(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params p("get_node_view", {"block_id", "length"}, 2);
    PyObject* a[2];
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    if (!p.bind(args, nargs, kwnames, a) || !to_u64(p, "block_id", a[0], offset) ||
        !to_u32(p, "length", a[1], length)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        StoreObject& s = store_of(self);
        auto checked_copy = [&](std::uint8_t* into) {
            return locked<ExclusiveLock>(s.lock, [&] {
                Status in_range = s.store.check_range(offset, length);
                if (in_range && into) s.store.copy_range(offset, length, into);
                return in_range;
            });
        };
        // The range is checked before the result is allocated, so a bogus length costs
        // nothing; the allocation happens outside the lock; the copy goes straight from the
        // mapping into the result object, the range checked again in case it changed.
        if (Status in_range = checked_copy(nullptr); !in_range) return raise(in_range.error());
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
        if (!bytes) return nullptr;
        if (Status in_range = checked_copy(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
            !in_range) {
            return raise(in_range.error());
        }
        return PyMemoryView_FromObject(bytes.get());
    });
}


PyMethodDef methods[] = {
    {"append_dummy_node", NOARGS(append_dummy_node), "append_dummy_node($self)\n--\n\n"},
    {"get_node_view", FASTCALL(get_node_view), "get_node_view($self, block_id, length)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* mmap_store_type() {
    static PyObject* type = nullptr;
    if (!type) type = make_class_type<StoreObject>("corvanedb.PyMmapStore",
                                  "PyMmapStore(path, initial_size)\n--\n\n", store_new, methods);
    return type;
}

}  // namespace corvane::py
