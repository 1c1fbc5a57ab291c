// The PriceLevel record type: the FIFO queue of resting orders at one price with their total,
// its four methods (Python-visible and as native entry points with override dispatch), GC.
#include "records/price_level.hpp"

#include <climits>
#include <cstddef>

#include "private/cpython.hpp"
#include "records/fields.hpp"
#include "records/order.hpp"
#include "ref.hpp"
#include "runtime/args.hpp"
#include "runtime/dispatch.hpp"
#include "runtime/names.hpp"
#include "runtime/quantity.hpp"
#include "runtime/trace.hpp"
#include "runtime/unpack.hpp"

namespace velmora {
namespace {

// The queue is an OrderedDict that callers may see or replace: it is only ever changed
// through its own protocol, never through the PyDict API, which would bypass its ordering.
// Each step reads the field afresh, as Python code re-evaluating `self.queue` would.

#define LEVEL_SITE(fn)                                                                           \
    trace::Site {                                                                                \
        "velmora.orderbook.PriceLevel." fn, "native/orderbook/records/price_level.cpp", __LINE__ \
    }

trace::Site init_site = LEVEL_SITE("__init__");
trace::Site set_total_site = LEVEL_SITE("total_quantity.__set__");

PyObject** const init_params[] = {&names::price, &names::side};
const args::Signature init_sig = args::signature("__init__", init_params);

Global last_kwnames;  // ("last",), for queue.popitem(last=False)

PyObject* as_object(PriceLevelObject* level) { return reinterpret_cast<PyObject*>(level); }

// `next(iter(queue.values()))`. On a plain OrderedDict the values iterator takes the first key
// from the queue's own key iterator and looks its value up in the dict; done here the same
// way (the same lookups, errors and result), without the view object and the method call.
PyObject* first_value(PyObject* queue) {
    if (!cpython::plain_odict(queue)) {
        Ref values = Ref::steal(PyObject_CallMethodNoArgs(queue, names::values));
        Ref it = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
        return it ? PyIter_Next(it.get()) : nullptr;
    }
    Ref it = Ref::steal(PyObject_GetIter(queue));
    Ref key = it ? Ref::steal(PyIter_Next(it.get())) : Ref();
    if (!key) {
        return nullptr;
    }
    PyObject* value = PyODict_GetItem(queue, key.get());  // borrowed; keeps no error
    if (!value) {
        PyErr_SetObject(PyExc_KeyError, key.get());
        return nullptr;
    }
    return Py_NewRef(value);
}

// `queue.popitem(last=False)`. The built-in popitem of a plain OrderedDict takes `last` by
// position as well, without the keyword parsing.
PyObject* pop_first_item(PyObject* queue) {
    PyObject* args[] = {queue, Py_False};
    return cpython::plain_odict(queue)
               ? PyObject_VectorcallMethod(names::popitem, args, 2, nullptr)
               : PyObject_VectorcallMethod(names::popitem, args, 1, last_kwnames.get());
}

// ---- the method bodies, shared by the Python-visible methods and the entry points ----

// How far `total_quantity += order.remaining_quantity` (or -=) would move the total: the
// quantity is read, the in-place operator runs on Python numbers and the sum goes through the
// quantity conversion, exactly as the statement would; only the difference from the total the
// sum started from is kept. Returns false with an exception set.
bool total_delta(PriceLevelObject* self, PyObject* order, bool add, std::int64_t* delta) {
    quantity::MaybeQty q = fields::remaining_of(order);
    std::int32_t before = self->total_quantity;
    quantity::Qty total = quantity::Qty::native(before);
    quantity::MaybeQty moved =
        q ? (add ? quantity::add(total, *q) : quantity::subtract(total, *q)) : std::nullopt;
    std::int32_t after;
    if (!moved || !moved->to_int32(&after)) {
        return false;
    }
    *delta = std::int64_t{after} - before;
    return true;
}

// Moves the total as it stands now by `delta`. The arithmetic above can run Python code that
// adds to or takes from this very level; applying a difference to the current value, with no
// call in between, keeps those changes instead of overwriting them with a stale sum.
bool shift_total(PriceLevelObject* self, std::int64_t delta) {
    std::int64_t v = std::int64_t{self->total_quantity} + delta;
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    self->total_quantity = static_cast<std::int32_t>(v);
    return true;
}

// `total_quantity -= order.remaining_quantity`
bool lower_total(PriceLevelObject* self, PyObject* order) {
    std::int64_t delta;
    return total_delta(self, order, false, &delta) && shift_total(self, delta);
}

// Queues `order` under `order_id` at the tail and adds its remaining quantity to the total.
// All or nothing: the new total is computed and checked first, then counted before the queue
// assignment and taken back if the assignment fails. Counting first also means that an
// add_order re-entered from inside the assignment (a queue subclass, a key whose __eq__ runs
// code) adds on top of this one rather than being lost.
bool queue_order(PriceLevelObject* self, PyObject* order_id, PyObject* order) {
    std::int64_t delta;
    if (!total_delta(self, order, true, &delta) || !shift_total(self, delta)) {
        return false;
    }
    Ref queue = Ref::borrow(self->queue);
    if (PyObject_SetItem(queue.get(), order_id, order) < 0) {
        PyObject* error = PyErr_GetRaisedException();
        if (!shift_total(self, -delta)) {
            PyErr_Clear();  // only if re-entrant changes left no room: the first error stands
        }
        PyErr_SetRaisedException(error);
        return false;
    }
    return true;
}

PyObject* level_add_order(PyObject* o, PyObject* const* args) {
    PyObject* order = args[0];
    Ref order_id = fields::id_of(order);
    if (!order_id || !queue_order(as_level(o), order_id.get(), order)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Removes the order queued under order_id; the total is reduced before the entry is deleted.
PyObject* level_remove_order(PyObject* o, PyObject* const* args) {
    PriceLevelObject* self = as_level(o);
    PyObject* order_id = args[0];
    if (!args::check_type(order_id, &PyUnicode_Type, "order_id", true, true)) {
        return nullptr;
    }
    Ref queue = Ref::borrow(self->queue);
    int queued = PySequence_Contains(queue.get(), order_id);
    if (queued <= 0) {
        return queued < 0 ? nullptr : Py_NewRef(Py_False);
    }
    queue = Ref::borrow(self->queue);
    Ref item = Ref::steal(PyObject_GetItem(queue.get(), order_id));
    if (!item) {
        return nullptr;
    }
    if (!lower_total(self, item.get())) {
        return nullptr;
    }
    queue = Ref::borrow(self->queue);
    if (PyObject_DelItem(queue.get(), order_id) < 0) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// `if not self.queue: return None`, then `self.queue` read again for what follows (the truth
// test can run code that replaces it): 1 with `queue` set, 0 when empty, -1 on error.
int nonempty_queue(PriceLevelObject* self, Ref& queue) {
    queue = Ref::borrow(self->queue);
    int non_empty = PyObject_IsTrue(queue.get());
    if (non_empty > 0) {
        queue = Ref::borrow(self->queue);
    }
    return non_empty;
}

// The oldest queued order, left in place; None when the queue is empty (or None).
PyObject* level_peek(PyObject* o, PyObject* const*) {
    Ref queue;
    int non_empty = nonempty_queue(as_level(o), queue);
    if (non_empty <= 0) {
        return non_empty < 0 ? nullptr : Py_NewRef(Py_None);
    }
    PyObject* first = first_value(queue.get());
    if (!first && !PyErr_Occurred()) {
        PyErr_SetNone(PyExc_StopIteration);
    }
    return first;
}

// Removes and returns the oldest queued order, taking its remaining quantity off the total;
// None when the queue is empty (or None).
PyObject* level_pop(PyObject* o, PyObject* const*) {
    PriceLevelObject* self = as_level(o);
    Ref queue;
    int non_empty = nonempty_queue(self, queue);
    if (non_empty <= 0) {
        return non_empty < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref entry = Ref::steal(pop_first_item(queue.get()));
    if (!entry) {
        return nullptr;
    }
    Ref item_id, item;
    if (!unpack::pair(entry.get(), item_id, item)) {
        return nullptr;
    }
    if (!lower_total(self, item.get())) {
        return nullptr;
    }
    return item.release();
}

PyObject** const add_order_params[] = {&names::order};
PyObject** const remove_order_params[] = {&names::order_id};

}  // namespace

namespace price_level {

function::Def remove_order_def{
    "remove_order",
    "PriceLevel.remove_order",
    args::signature("remove_order", remove_order_params),
    level_remove_order,
    nullptr,
    "($self, order_id)",
    LEVEL_SITE("remove_order"),
    &PriceLevelType,
};
// No parameters, but the wording of a zero-parameter signature: "takes exactly 0 ...".
function::Def peek_def{
    "peek",  "PriceLevel.peek", {"peek", nullptr, 0, 0}, level_peek,
    nullptr, "($self)",         LEVEL_SITE("peek"),      &PriceLevelType,
};
function::Def pop_def{
    "pop",   "PriceLevel.pop", {"pop", nullptr, 0, 0}, level_pop,
    nullptr, "($self)",        LEVEL_SITE("pop"),      &PriceLevelType,
};

}  // namespace price_level

namespace {

function::Def add_order_def{
    "add_order",
    "PriceLevel.add_order",
    args::signature("add_order", add_order_params),
    level_add_order,
    nullptr,
    "($self, order)",
    LEVEL_SITE("add_order"),
    &PriceLevelType,
};

// ---- native entry points ----

// A Python subclass may override the methods; a plain PriceLevel cannot.
bool may_override(PriceLevelObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return type->tp_dictoffset != 0 ||
           (type->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0;
}

// The override test of every entry point: unless told to skip it, looks the method up on a
// level whose class may override it. 1 when what it finds is not the level's own method: that
// was called in its place, and `result` holds what it returned (null with an exception set,
// which its own frame explains, as does a failed lookup); 0 when the body is to run.
int run_override(PriceLevelObject* self, PyObject* name, const function::Def& def, PyObject* arg,
                 bool skip_dispatch, Ref& result) {
    if (skip_dispatch || !may_override(self)) {
        return 0;
    }
    Ref method;
    int found = dispatch::find_override(as_object(self), name, def, method);
    if (found > 0) {
        result = Ref::steal(arg ? PyObject_CallOneArg(method.get(), arg)
                                : PyObject_CallNoArgs(method.get()));
    }
    return found != 0;
}

// The level's override of the method, if its class has one, or else the body; new reference
// or null.
PyObject* dispatch_entry(PriceLevelObject* self, PyObject* name, function::Def& def, PyObject* arg,
                         bool skip_dispatch) {
    Ref keep = Ref::borrow(as_object(self));
    Ref result;
    if (run_override(self, name, def, arg, skip_dispatch, result)) {
        return result.release();
    }
    PyObject* args[] = {arg};
    return function::call_body(def, as_object(self), args);
}

// An override's result is discarded. The body queues the order under the identifier the
// caller has read and indexes it by.
void entry_add_order(PriceLevelObject* self, PyObject* order, PyObject* order_id,
                     bool skip_dispatch) {
    Ref keep = Ref::borrow(as_object(self));
    Ref overridden;
    if (run_override(self, names::add_order, add_order_def, order, skip_dispatch, overridden)) {
        return;
    }
    if (!queue_order(self, order_id, order)) {
        trace::add(add_order_def.site);
    }
}

bool entry_remove_order(PriceLevelObject* self, PyObject* order_id, bool skip_dispatch) {
    Ref result = Ref::steal(dispatch_entry(self, names::remove_order, price_level::remove_order_def,
                                           order_id, skip_dispatch));
    if (!result) {
        return false;
    }
    int truth = PyObject_IsTrue(result.get());
    if (truth < 0) {
        trace::add(price_level::remove_order_def.site);
    }
    return truth > 0;
}

PyObject* entry_peek(PriceLevelObject* self, bool skip_dispatch) {
    return dispatch_entry(self, names::peek, price_level::peek_def, nullptr, skip_dispatch);
}

PyObject* entry_pop(PriceLevelObject* self, bool skip_dispatch) {
    return dispatch_entry(self, names::pop, price_level::pop_def, nullptr, skip_dispatch);
}

const PriceLevelEntryPoints entry_points = {entry_add_order, entry_remove_order, entry_peek,
                                            entry_pop};

// ---- type slots ----

PyObject* level_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) {
        return nullptr;
    }
    PriceLevelObject* self = as_level(o);
    self->entry_points = &entry_points;
    self->price = Py_NewRef(Py_None);
    self->queue = Py_NewRef(Py_None);
    self->total_quantity = 0;
    self->side = Py_NewRef(Py_None);
    return o;
}

int level_init(PyObject* o, PyObject* args, PyObject* kwds) {
    PyObject* bound[2];
    if (!args::bind_tuple(init_sig, args, kwds, bound)) {
        trace::add(init_site);
        return -1;
    }
    Ref price = Ref::steal(bound[0]);
    Ref side = Ref::steal(bound[1]);
    PriceLevelObject* self = as_level(o);
    Py_SETREF(self->price, price.release());
    Ref ordered_dict = names::lookup_global(names::OrderedDict);
    Ref queue = ordered_dict ? Ref::steal(PyObject_CallNoArgs(ordered_dict.get())) : Ref();
    if (!queue) {
        trace::add(init_site);
        return -1;
    }
    Py_SETREF(self->queue, queue.release());
    self->total_quantity = 0;
    Py_SETREF(self->side, side.release());
    return 0;
}

int level_traverse(PyObject* o, visitproc visit, void* arg) {
    PriceLevelObject* self = as_level(o);
    Py_VISIT(self->price);
    Py_VISIT(self->queue);
    Py_VISIT(self->side);
    return 0;
}

int level_clear(PyObject* o) {
    PriceLevelObject* self = as_level(o);
    Py_SETREF(self->price, Py_NewRef(Py_None));
    Py_SETREF(self->queue, Py_NewRef(Py_None));
    Py_SETREF(self->side, Py_NewRef(Py_None));
    return 0;
}

void level_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    Py_TRASHCAN_BEGIN(o, level_dealloc) PriceLevelObject* self = as_level(o);
    Py_CLEAR(self->price);
    Py_CLEAR(self->queue);
    Py_CLEAR(self->side);
    Py_TYPE(o)->tp_free(o);
    Py_TRASHCAN_END
}

// Object fields: any value; deletion stores None.
template <PyObject* PriceLevelObject::* field>
PyObject* get_object(PyObject* o, void*) {
    return Py_NewRef(as_level(o)->*field);
}

template <PyObject* PriceLevelObject::* field>
int set_object(PyObject* o, PyObject* value, void*) {
    Py_SETREF(as_level(o)->*field, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_total(PyObject* o, void*) { return PyLong_FromLong(as_level(o)->total_quantity); }

int set_total(PyObject* o, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    std::int32_t q;
    if (!quantity::convert(value, &q)) {
        trace::add(set_total_site);
        return -1;
    }
    as_level(o)->total_quantity = q;
    return 0;
}

PyGetSetDef level_getset[] = {
    {"price", get_object<&PriceLevelObject::price>, set_object<&PriceLevelObject::price>, nullptr,
     nullptr},
    {"queue", get_object<&PriceLevelObject::queue>, set_object<&PriceLevelObject::queue>, nullptr,
     nullptr},
    {"total_quantity", get_total, set_total, nullptr, nullptr},
    {"side", get_object<&PriceLevelObject::side>, set_object<&PriceLevelObject::side>, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject PriceLevelType = {PyVarObject_HEAD_INIT(nullptr, 0)};

namespace price_level {

bool add_order(PyObject* level, PyObject* order, PyObject* order_id) {
    if (!PyObject_TypeCheck(level, &PriceLevelType)) {
        return bool(Ref::steal(PyObject_CallMethodOneArg(level, names::add_order, order)));
    }
    PriceLevelObject* self = as_level(level);
    self->entry_points->add_order(self, order, order_id, false);
    return !PyErr_Occurred();
}

int holds(PyObject* level, PyObject* order_id, PyObject* order) {
    Ref queue = fields::queue_of(level);
    if (!queue) {
        return -1;
    }
    if (cpython::plain_odict(queue.get())) {
        PyObject* queued = PyDict_GetItemWithError(queue.get(), order_id);  // borrowed
        return queued ? queued == order : (PyErr_Occurred() ? -1 : 0);
    }
    Ref queued = Ref::steal(PyObject_GetItem(queue.get(), order_id));
    if (!queued) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    return queued.get() == order;
}

bool ready() {
    if (!last_kwnames) {
        last_kwnames.set(Ref::steal(PyTuple_Pack(1, names::last)));
        if (!last_kwnames) {
            return false;
        }
    }
    if (PriceLevelType.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    PriceLevelType.tp_name = "velmora.orderbook.PriceLevel";
    // A signature for inspect and nothing else: the type's __doc__ stays None.
    PriceLevelType.tp_doc = "PriceLevel(price, side)\n--\n\n";
    PriceLevelType.tp_basicsize = sizeof(PriceLevelObject);
    PriceLevelType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    PriceLevelType.tp_new = level_new;
    PriceLevelType.tp_init = level_init;
    PriceLevelType.tp_dealloc = level_dealloc;
    PriceLevelType.tp_traverse = level_traverse;
    PriceLevelType.tp_clear = level_clear;
    PriceLevelType.tp_getset = level_getset;
    return PyType_Ready(&PriceLevelType) == 0;
}

bool place_methods() {
    struct Placed {
        PyObject* name;
        function::Def* def;
    };
    const Placed methods[] = {{names::add_order, &add_order_def},
                              {names::remove_order, &remove_order_def},
                              {names::peek, &peek_def},
                              {names::pop, &pop_def}};
    for (const Placed& m : methods) {
        Ref fn = function::make(*m.def);
        if (!fn || PyDict_SetItem(PriceLevelType.tp_dict, m.name, fn.get()) < 0) {
            return false;
        }
    }
    PyType_Modified(&PriceLevelType);
    return true;
}

}  // namespace price_level
}  // namespace velmora
