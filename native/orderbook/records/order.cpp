// The Order record type: six fields, the constructor with its order of steps, the
// attributes with their assignment and deletion rules, and GC support.
#include "records/order.hpp"

#include <cstddef>

#include "records/definitions.hpp"
#include "runtime/args.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"
#include "runtime/quantity.hpp"
#include "runtime/trace.hpp"

namespace velmora {
namespace {

#define ORDER_SITE(fn) \
    trace::Site { "velmora.orderbook.Order." fn, "native/orderbook/records/order.cpp", __LINE__ }

trace::Site init_site = ORDER_SITE("__init__");
trace::Site set_original_site = ORDER_SITE("original_quantity.__set__");
trace::Site set_remaining_site = ORDER_SITE("remaining_quantity.__set__");
trace::Site set_order_id_site = ORDER_SITE("order_id.__set__");

PyObject** const init_params[] = {&names::side, &names::original_quantity, &names::price};
const args::Signature init_sig = args::signature("__init__", init_params, 2);

PyObject* order_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) {
        return nullptr;
    }
    OrderObject* self = as_order(o);
    self->side = Py_NewRef(Py_None);
    self->price = Py_NewRef(Py_None);
    self->order_id = Py_NewRef(Py_None);
    self->status = Py_NewRef(Py_None);
    self->original_quantity = 0;
    self->remaining_quantity = 0;
    return o;
}

// Calls the module's `_next_id`, whatever the name is bound to now.
Ref draw_order_id() {
    Ref fn = names::lookup_global(names::_next_id);
    return fn ? dispatch::call(fn.get(), definitions::next_id_def) : Ref();
}

bool init_body(OrderObject* self, PyObject* side, PyObject* quantity, PyObject* price) {
    Py_SETREF(self->side, Py_NewRef(side));
    std::int32_t q;
    if (!quantity::convert(quantity, &q)) {
        return false;
    }
    self->original_quantity = q;
    Py_SETREF(self->price, Py_NewRef(price));
    // Converted again, not copied: a value whose __int__ answers differently each time gives
    // the remaining quantity its own answer, as two assignments from Python would.
    if (!quantity::convert(quantity, &q)) {
        return false;
    }
    self->remaining_quantity = q;
    Ref order_id = draw_order_id();
    if (!order_id) {
        return false;
    }
    if (order_id.get() != Py_None && !PyUnicode_CheckExact(order_id.get())) {
        return args::raise_expected("str", order_id.get());
    }
    Py_SETREF(self->order_id, order_id.release());
    Ref open = definitions::member(definitions::kOpen);
    if (!open) {
        return false;
    }
    Py_SETREF(self->status, open.release());
    return true;
}

int order_init(PyObject* o, PyObject* args, PyObject* kwds) {
    PyObject* bound[3];
    if (!args::bind_tuple(init_sig, args, kwds, bound)) {
        trace::add(init_site);
        return -1;
    }
    Ref side = Ref::steal(bound[0]);
    Ref quantity = Ref::steal(bound[1]);
    Ref price = Ref::steal(bound[2]);
    if (!init_body(as_order(o), side.get(), quantity.get(), price ? price.get() : Py_None)) {
        trace::add(init_site);
        return -1;
    }
    return 0;
}

// Binds the constructor's vectorcall arguments into side, original_quantity, price (null
// when not given). Two or three positional arguments bind in order without the binder, as a
// native function's exact positional arguments do (function.cpp).
bool bind_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** bound) {
    if (!kwnames && (nargs == 2 || nargs == 3)) {
        bound[0] = args[0];
        bound[1] = args[1];
        bound[2] = nargs == 3 ? args[2] : nullptr;
        return true;
    }
    return args::bind(init_sig, args, nargs, kwnames, bound);
}

// Order(...) itself, called through vectorcall: the same allocation and initialisation
// as the type's call, without packing the arguments into a tuple and a dict. Python
// subclasses do not inherit it and take the ordinary path (their __new__/__init__).
PyObject* order_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    Ref self = Ref::steal(order_new(t, nullptr, nullptr));
    if (!self) {
        return nullptr;
    }
    PyObject* bound[3];
    if (!bind_init(args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        trace::add(init_site);
        return nullptr;
    }
    if (!init_body(as_order(self.get()), bound[0], bound[1], bound[2] ? bound[2] : Py_None)) {
        trace::add(init_site);
        return nullptr;
    }
    return self.release();
}

int order_traverse(PyObject* o, visitproc visit, void* arg) {
    OrderObject* self = as_order(o);
    Py_VISIT(self->side);
    Py_VISIT(self->price);
    Py_VISIT(self->status);
    return 0;
}

int order_clear(PyObject* o) {
    OrderObject* self = as_order(o);
    Py_SETREF(self->side, Py_NewRef(Py_None));
    Py_SETREF(self->price, Py_NewRef(Py_None));
    Py_SETREF(self->status, Py_NewRef(Py_None));
    return 0;
}

void order_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Py_TRASHCAN_BEGIN(o, order_dealloc) OrderObject* self = as_order(o);
    Py_CLEAR(self->side);
    Py_CLEAR(self->price);
    Py_CLEAR(self->order_id);
    Py_CLEAR(self->status);
    Py_TYPE(o)->tp_free(o);
    Py_TRASHCAN_END
}

// Object fields: any value; deletion stores None.
template <PyObject* OrderObject::* field>
PyObject* get_object(PyObject* o, void*) {
    return Py_NewRef(as_order(o)->*field);
}

template <PyObject* OrderObject::* field>
int set_object(PyObject* o, PyObject* value, void*) {
    Py_SETREF(as_order(o)->*field, Py_NewRef(value ? value : Py_None));
    return 0;
}

int set_order_id(PyObject* o, PyObject* value, void*) {
    if (value && value != Py_None && !PyUnicode_CheckExact(value)) {
        args::raise_expected("str", value);
        trace::add(set_order_id_site);
        return -1;
    }
    Py_SETREF(as_order(o)->order_id, Py_NewRef(value ? value : Py_None));
    return 0;
}

// Quantity fields: read as int, assigned through the quantity conversion, not deletable.
template <std::int32_t OrderObject::* field>
PyObject* get_quantity(PyObject* o, void*) {
    return PyLong_FromLong(as_order(o)->*field);
}

template <std::int32_t OrderObject::* field, trace::Site* site>
int set_quantity(PyObject* o, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    std::int32_t q;
    if (!quantity::convert(value, &q)) {
        trace::add(*site);
        return -1;
    }
    as_order(o)->*field = q;
    return 0;
}

PyGetSetDef order_getset[] = {
    {"side", get_object<&OrderObject::side>, set_object<&OrderObject::side>, nullptr, nullptr},
    {"original_quantity", get_quantity<&OrderObject::original_quantity>,
     set_quantity<&OrderObject::original_quantity, &set_original_site>, nullptr, nullptr},
    {"price", get_object<&OrderObject::price>, set_object<&OrderObject::price>, nullptr, nullptr},
    {"remaining_quantity", get_quantity<&OrderObject::remaining_quantity>,
     set_quantity<&OrderObject::remaining_quantity, &set_remaining_site>, nullptr, nullptr},
    {"order_id", get_object<&OrderObject::order_id>, set_order_id, nullptr, nullptr},
    {"status", get_object<&OrderObject::status>, set_object<&OrderObject::status>, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject OrderType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace order {

bool ready() {
    if (OrderType.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    OrderType.tp_name = "velmora.orderbook.Order";
    // A signature for inspect and nothing else: the type's __doc__ stays None.
    OrderType.tp_doc = "Order(side, original_quantity, price=None)\n--\n\n";
    OrderType.tp_basicsize = sizeof(OrderObject);
    OrderType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    OrderType.tp_new = order_new;
    OrderType.tp_init = order_init;
    OrderType.tp_vectorcall = order_vectorcall;
    OrderType.tp_dealloc = order_dealloc;
    OrderType.tp_traverse = order_traverse;
    OrderType.tp_clear = order_clear;
    OrderType.tp_getset = order_getset;
    return PyType_Ready(&OrderType) == 0;
}

}  // namespace order
}  // namespace velmora
