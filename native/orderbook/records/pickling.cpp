// Pickle support for Order and PriceLevel: __reduce__ and __setstate__ on both types, the
// module-level reconstructors, the state tuples and the layout checksums that guard them.
#include "records/pickling.hpp"

#include "records/order.hpp"
#include "records/price_level.hpp"
#include "ref.hpp"
#include "runtime/args.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"
#include "runtime/quantity.hpp"
#include "runtime/state.hpp"

namespace velmora::pickling {
namespace {

// A layout checksum is the first seven hex digits of a digest of the field names, sorted
// and joined with single spaces: SHA-256 (the one written), SHA-1, MD5. A pickle carrying
// any of the three is accepted.
struct Checksums {
    long sha256;
    long sha1;
    long md5;
    bool accepts(long long c) const { return c == sha256 || c == sha1 || c == md5; }
};
constexpr Checksums kOrderChecksums{0x39270c3, 0xc72e32a, 0x60e66eb};
constexpr Checksums kLevelChecksums{0x414b38a, 0x3ee6a12, 0xee3e94a};

// What differs between the two types. A state tuple holds the fields in alphabetical order,
// then optionally the instance __dict__.
struct Layout {
    PyTypeObject* type;
    const char* fields;  // shown when a checksum is refused
    Checksums checksums;
    PyObject** reconstructor;  // its name in the module namespace
    Py_ssize_t n_fields;
    Ref (*state)(PyObject* self);
    bool (*any_object_field)(PyObject* self);
    bool (*restore_fields)(PyObject* self, PyObject* state);
};

// ---- state items ----

// state[i] of an exact tuple, borrowed (the caller holds the tuple).
PyObject* item(PyObject* state, Py_ssize_t i) {
    if (i >= PyTuple_GET_SIZE(state)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return PyTuple_GET_ITEM(state, i);
}

bool put_object(PyObject*& field, PyObject* state, Py_ssize_t i) {
    PyObject* value = item(state, i);
    if (!value) {
        return false;
    }
    Py_SETREF(field, Py_NewRef(value));
    return true;
}

bool put_quantity(std::int32_t& field, PyObject* state, Py_ssize_t i) {
    PyObject* value = item(state, i);
    std::int32_t q;
    if (!value || !quantity::convert(value, &q)) {
        return false;
    }
    field = q;
    return true;
}

// The item after the fields, if any and true, updates the instance __dict__.
bool restore_dict(PyObject* self, PyObject* state, Py_ssize_t index) {
    if (PyTuple_GET_SIZE(state) <= index) {
        return true;
    }
    PyObject* extra = PyTuple_GET_ITEM(state, index);
    int truth = PyObject_IsTrue(extra);
    if (truth <= 0) {
        return truth == 0;
    }
    Ref dict = Ref::steal(PyObject_GetAttr(self, names::__dict__));
    if (!dict) {
        return false;
    }
    if (PyDict_CheckExact(dict.get()) && PyDict_Check(extra)) {
        return PyDict_Update(dict.get(), extra) == 0;  // what dict.update does with a dict
    }
    return Ref::steal(PyObject_CallMethodOneArg(dict.get(), names::update, extra)) ? true : false;
}

// ---- Order ----

Ref order_state(PyObject* o) {
    OrderObject* self = as_order(o);
    Ref original = Ref::steal(PyLong_FromLong(self->original_quantity));
    Ref remaining = original ? Ref::steal(PyLong_FromLong(self->remaining_quantity)) : Ref();
    if (!remaining) {
        return Ref();
    }
    return Ref::steal(PyTuple_Pack(6, self->order_id, original.get(), self->price, remaining.get(),
                                   self->side, self->status));
}

bool order_any_object_field(PyObject* o) {
    OrderObject* self = as_order(o);
    return self->order_id != Py_None || self->price != Py_None || self->side != Py_None ||
           self->status != Py_None;
}

bool order_restore(PyObject* o, PyObject* state) {
    OrderObject* self = as_order(o);
    PyObject* order_id = item(state, 0);
    if (!order_id) {
        return false;
    }
    if (order_id != Py_None && !PyUnicode_CheckExact(order_id)) {
        return args::raise_expected("str", order_id);
    }
    Py_SETREF(self->order_id, Py_NewRef(order_id));
    return put_quantity(self->original_quantity, state, 1) && put_object(self->price, state, 2) &&
           put_quantity(self->remaining_quantity, state, 3) && put_object(self->side, state, 4) &&
           put_object(self->status, state, 5);
}

const Layout order_layout{
    &OrderType,
    "order_id, original_quantity, price, remaining_quantity, side, status",
    kOrderChecksums,
    &names::__pyx_unpickle_Order,
    6,
    order_state,
    order_any_object_field,
    order_restore,
};

// ---- PriceLevel ----

Ref level_state(PyObject* o) {
    PriceLevelObject* self = as_level(o);
    Ref total = Ref::steal(PyLong_FromLong(self->total_quantity));
    if (!total) {
        return Ref();
    }
    return Ref::steal(PyTuple_Pack(4, self->price, self->queue, self->side, total.get()));
}

bool level_any_object_field(PyObject* o) {
    PriceLevelObject* self = as_level(o);
    return self->price != Py_None || self->queue != Py_None || self->side != Py_None;
}

bool level_restore(PyObject* o, PyObject* state) {
    PriceLevelObject* self = as_level(o);
    return put_object(self->price, state, 0) && put_object(self->queue, state, 1) &&
           put_object(self->side, state, 2) && put_quantity(self->total_quantity, state, 3);
}

const Layout level_layout{
    &PriceLevelType,
    "price, queue, side, total_quantity",
    kLevelChecksums,
    &names::__pyx_unpickle_PriceLevel,
    4,
    level_state,
    level_any_object_field,
    level_restore,
};

// ---- the shared algorithms ----

bool restore(const Layout& layout, PyObject* self, PyObject* state) {
    return layout.restore_fields(self, state) && restore_dict(self, state, layout.n_fields);
}

// (reconstructor, (type, checksum, None), state) when __setstate__ is to run, else
// (reconstructor, (type, checksum, state)).
template <const Layout& layout>
PyObject* reduce_body(PyObject* self, PyObject* const*) {
    Ref state = layout.state(self);
    if (!state) {
        return nullptr;
    }
    // An instance of the exact native type has no __dict__, and neither its type nor
    // object (both immutable) can gain one: skip the lookup and the AttributeError it makes.
    Ref dict;
    if (!Py_IS_TYPE(self, layout.type) && names::lookup_attr(self, names::__dict__, dict) < 0) {
        return nullptr;
    }
    bool use_setstate;
    int has_dict = dict && dict.get() != Py_None ? PyObject_IsTrue(dict.get()) : 0;
    if (has_dict < 0) {
        return nullptr;
    }
    if (has_dict) {
        Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
        state = extra ? Ref::steal(PySequence_Concat(state.get(), extra.get())) : Ref();
        if (!state) {
            return nullptr;
        }
        use_setstate = true;
    } else {
        use_setstate = layout.any_object_field(self);
    }
    Ref reconstructor = names::lookup_global(*layout.reconstructor);
    Ref checksum = reconstructor ? Ref::steal(PyLong_FromLong(layout.checksums.sha256)) : Ref();
    if (!checksum) {
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) {
        Ref call_args = Ref::steal(PyTuple_Pack(3, type, checksum.get(), Py_None));
        return call_args ? PyTuple_Pack(3, reconstructor.get(), call_args.get(), state.get())
                         : nullptr;
    }
    Ref call_args = Ref::steal(PyTuple_Pack(3, type, checksum.get(), state.get()));
    return call_args ? PyTuple_Pack(2, reconstructor.get(), call_args.get()) : nullptr;
}

template <const Layout& layout>
PyObject* setstate_body(PyObject* self, PyObject* const* args) {
    PyObject* state = args[0];
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "cannot pass None into a C function argument that is declared 'not None'");
        return nullptr;
    }
    if (!PyTuple_CheckExact(state)) {
        args::raise_expected("tuple", state);
        return nullptr;
    }
    if (!restore(layout, self, state)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The checksum argument as a signed 64-bit integer: an int, or whatever __int__ gives.
bool checksum_value(PyObject* value, long long* out) {
    Ref number = quantity::as_int(value);
    if (!number) {
        return false;
    }
    *out = PyLong_AsLongLong(number.get());
    return !(*out == -1 && PyErr_Occurred());
}

// pickle.PickleError for a layout this module does not know; pickle is imported only here.
PyObject* refuse(const Layout& layout, long long checksum) {
    Ref pickle = Ref::steal(PyImport_ImportModuleLevelObject(
        names::pickle, state::module_dict.get(), nullptr, nullptr, 0));
    Ref error = pickle ? Ref::steal(PyObject_GetAttr(pickle.get(), names::PickleError)) : Ref();
    if (!error) {
        return nullptr;
    }
    const Checksums& c = layout.checksums;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                 static_cast<unsigned>(checksum & 0xffffffff), static_cast<unsigned>(c.sha256),
                 static_cast<unsigned>(c.sha1), static_cast<unsigned>(c.md5), layout.fields);
    return nullptr;
}

// __pyx_unpickle_<Type>(__pyx_type, __pyx_checksum, __pyx_state)
template <const Layout& layout>
PyObject* reconstruct_body(PyObject*, PyObject* const* args) {
    long long checksum;
    if (!checksum_value(args[1], &checksum)) {
        return nullptr;
    }
    PyObject* state = args[2];
    if (!args::check_type(state, &PyTuple_Type, "__pyx_state", true, true)) {
        return nullptr;
    }
    if (!layout.checksums.accepts(checksum)) {
        return refuse(layout, checksum);
    }
    // <Type>.__new__(__pyx_type) through Python, so a bad type gets the interpreter's error.
    Ref instance = Ref::steal(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(layout.type),
                                                        names::__new__, args[0]));
    if (!instance) {
        return nullptr;
    }
    if (state != Py_None && !restore(layout, instance.get(), state)) {
        return nullptr;
    }
    return instance.release();
}

// ---- the function objects ----

#define PICKLE_SITE(fn) \
    trace::Site { "velmora.orderbook." fn, "native/orderbook/records/pickling.cpp", __LINE__ }

PyObject** const setstate_params[] = {&names::__pyx_state};
PyObject** const reconstruct_params[] = {&names::__pyx_type, &names::__pyx_checksum,
                                         &names::__pyx_state};

function::Def order_reduce_def{
    "__reduce__", "Order.__reduce__", {"__reduce__", nullptr, 0, 0},   reduce_body<order_layout>,
    nullptr,      "($self)",          PICKLE_SITE("Order.__reduce__"), &OrderType,
};
function::Def order_setstate_def{
    "__setstate__",
    "Order.__setstate__",
    args::signature("__setstate__", setstate_params),
    setstate_body<order_layout>,
    nullptr,
    "($self, __pyx_state)",
    PICKLE_SITE("Order.__setstate__"),
    &OrderType,
};
function::Def level_reduce_def{
    "__reduce__",
    "PriceLevel.__reduce__",
    {"__reduce__", nullptr, 0, 0},
    reduce_body<level_layout>,
    nullptr,
    "($self)",
    PICKLE_SITE("PriceLevel.__reduce__"),
    &PriceLevelType,
};
function::Def level_setstate_def{
    "__setstate__",
    "PriceLevel.__setstate__",
    args::signature("__setstate__", setstate_params),
    setstate_body<level_layout>,
    nullptr,
    "($self, __pyx_state)",
    PICKLE_SITE("PriceLevel.__setstate__"),
    &PriceLevelType,
};
function::Def unpickle_order_def{
    "__pyx_unpickle_Order",
    "__pyx_unpickle_Order",
    args::signature("__pyx_unpickle_Order", reconstruct_params),
    reconstruct_body<order_layout>,
    nullptr,
    "(__pyx_type, __pyx_checksum, __pyx_state)",
    PICKLE_SITE("__pyx_unpickle_Order"),
};
function::Def unpickle_level_def{
    "__pyx_unpickle_PriceLevel",
    "__pyx_unpickle_PriceLevel",
    args::signature("__pyx_unpickle_PriceLevel", reconstruct_params),
    reconstruct_body<level_layout>,
    nullptr,
    "(__pyx_type, __pyx_checksum, __pyx_state)",
    PICKLE_SITE("__pyx_unpickle_PriceLevel"),
};

// 1 when `type` inherits `name` unchanged from object, 0 when it customises it, -1 error.
// `own` receives what the type has.
int inherited_from_object(PyObject* type, PyObject* name, Ref& own) {
    own = Ref::steal(PyObject_GetAttr(type, name));
    Ref base =
        own ? Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name))
            : Ref();
    if (!base) {
        return -1;
    }
    return own.get() == base.get();
}

bool install(PyTypeObject* type, function::Def& reduce_def, function::Def& setstate_def) {
    PyObject* type_obj = reinterpret_cast<PyObject*>(type);
    Ref own;
    for (PyObject* name : {names::__getstate__, names::__reduce_ex__}) {
        int plain = inherited_from_object(type_obj, name, own);
        if (plain <= 0) {
            return plain == 0;  // the type pickles its own way
        }
    }
    int plain = inherited_from_object(type_obj, names::__reduce__, own);
    if (plain < 0) {
        return false;
    }
    if (!plain && !function::is_own_method(own.get(), reduce_def, nullptr)) {
        return true;  // customised by something else: leave it alone
    }
    Ref reduce_fn = function::make(reduce_def);
    Ref setstate_fn = reduce_fn ? function::make(setstate_def) : Ref();
    if (!setstate_fn || PyDict_SetItem(type->tp_dict, names::__reduce__, reduce_fn.get()) < 0 ||
        PyDict_SetItem(type->tp_dict, names::__setstate__, setstate_fn.get()) < 0) {
        return false;
    }
    PyType_Modified(type);
    return true;
}

}  // namespace

bool setup(PyTypeObject* type) {
    bool ok = false;
    if (type == &OrderType) {
        ok = install(type, order_reduce_def, order_setstate_def);
    } else if (type == &PriceLevelType) {
        ok = install(type, level_reduce_def, level_setstate_def);
    }
    if (ok) {
        return true;
    }
    // Whatever went wrong stays visible as the context of the RuntimeError.
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    if (cause) {
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetContext(error, cause);  // steals cause
        PyErr_SetRaisedException(error);
    }
    return false;
}

bool bind_reconstructors() {
    struct Bound {
        PyObject* name;
        function::Def* def;
    };
    const Bound reconstructors[] = {{names::__pyx_unpickle_Order, &unpickle_order_def},
                                    {names::__pyx_unpickle_PriceLevel, &unpickle_level_def}};
    for (const Bound& r : reconstructors) {
        Ref fn = function::make(*r.def);
        if (!fn || !names::store_global(r.name, fn.get())) {
            return false;
        }
    }
    return true;
}

}  // namespace velmora::pickling
