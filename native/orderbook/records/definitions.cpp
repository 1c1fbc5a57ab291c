// The shared vocabulary: the enumerations OrderSide, OrderStatus and TradeType, the
// Trade data class, and the order identifier source (_order_counter, _next_id).
#include "records/definitions.hpp"

#include <charconv>
#include <cstring>

#include "private/cpython.hpp"
#include "runtime/function.hpp"
#include "runtime/lookup.hpp"
#include "runtime/names.hpp"
#include "runtime/state.hpp"

namespace velmora::definitions {
namespace {

struct Member {
    const char* name;
    long value;
};

// Replaces bases that are not classes by what their __mro_entries__ gives, as a class
// statement does. Returns the bases unchanged (same object) when nothing is replaced.
Ref resolve_bases(PyObject* bases) {
    Ref result = Ref::borrow(bases);
    bool changed = false;
    Ref list;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        Ref entries;
        if (!PyType_Check(base)) {
            Ref meth;
            int found = names::lookup_attr(base, names::__mro_entries__, meth);
            if (found < 0) {
                return Ref();
            }
            if (found) {
                entries = Ref::steal(PyObject_CallOneArg(meth.get(), bases));
                if (!entries) {
                    return Ref();
                }
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return Ref();
                }
            }
        }
        if (!changed && !entries) {
            continue;
        }
        if (!changed) {
            changed = true;
            list = Ref::steal(PyList_GetSlice(bases, 0, i));
            if (!list) {
                return Ref();
            }
        }
        if (entries) {
            Py_ssize_t n = PyList_GET_SIZE(list.get());
            if (PyList_SetSlice(list.get(), n, n, entries.get()) < 0) {
                return Ref();
            }
        } else if (PyList_Append(list.get(), base) < 0) {
            return Ref();
        }
    }
    if (changed) {
        result = Ref::steal(PyList_AsTuple(list.get()));
    }
    return result;
}

// The most derived metaclass of the bases (type for none).
Ref calculate_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) {
            continue;
        }
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return Ref();
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

// `class <name>(<base>): <members>` in the module, as the interpreter builds it.
Ref class_statement(const char* name, PyObject* base, std::initializer_list<Member> members) {
    Ref cls_name = Ref::steal(PyUnicode_FromString(name));
    Ref orig_bases = cls_name ? Ref::steal(PyTuple_Pack(1, base)) : Ref();
    Ref bases = orig_bases ? resolve_bases(orig_bases.get()) : Ref();
    Ref meta = bases ? calculate_metaclass(bases.get()) : Ref();
    if (!meta) {
        return Ref();
    }
    Ref prepare;
    if (names::lookup_attr(meta.get(), names::__prepare__, prepare) < 0) {
        return Ref();
    }
    Ref ns = prepare ? Ref::steal(PyObject_CallFunctionObjArgs(prepare.get(), cls_name.get(),
                                                               bases.get(), nullptr))
                     : Ref::steal(PyDict_New());
    if (!ns || PyObject_SetItem(ns.get(), names::__module__, names::velmora_orderbook) < 0 ||
        PyObject_SetItem(ns.get(), names::__qualname__, cls_name.get()) < 0) {
        return Ref();
    }
    if (bases.get() != orig_bases.get() &&
        PyMapping_SetItemString(ns.get(), "__orig_bases__", orig_bases.get()) < 0) {
        return Ref();
    }
    for (const Member& m : members) {
        Ref value = Ref::steal(PyLong_FromLong(m.value));
        if (!value || PyMapping_SetItemString(ns.get(), m.name, value.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(
        PyObject_CallFunctionObjArgs(meta.get(), cls_name.get(), bases.get(), ns.get(), nullptr));
}

bool bind_enum(PyObject* name, const char* text, std::initializer_list<Member> members) {
    Ref base = names::lookup_global(names::Enum);
    Ref cls = base ? class_statement(text, base.get(), members) : Ref();
    return cls && names::store_global(name, cls.get());
}

// The value of an exact int when it fits a long long; false (no exception) when it does not.
bool word_value(PyObject* number, long long* out) {
    Py_ssize_t small = 0;
    if (cpython::small_int(number, &small)) {
        *out = small;
        return true;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (overflow || (value == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    *out = value;
    return true;
}

// str() of an int that fits a long long: its decimal digits, written straight into a new
// ASCII string. A single digit is the interpreter's shared one-character string, as a
// decoded one would be.
Ref decimal_string(long long value) {
    char digits[24];  // 20 characters at most, sign included: to_chars cannot run out
    Py_ssize_t length = std::to_chars(digits, digits + sizeof digits, value).ptr - digits;
    if (length == 1) {
        return Ref::steal(PyUnicode_FromStringAndSize(digits, 1));
    }
    Ref text = Ref::steal(PyUnicode_New(length, 127));
    if (text) {
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), digits, length);
    }
    return text;
}

// str(value): a str is itself, an exact int in a word is formatted here (several times
// cheaper than the general conversion), anything else goes through str().
Ref string_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    long long number = 0;
    if (PyLong_CheckExact(value) && word_value(value, &number)) {
        return decimal_string(number);
    }
    return Ref::steal(PyObject_Str(value));
}

PyObject* next_id_body(PyObject*, PyObject* const*) {
    Ref counter = names::lookup_global(names::_order_counter);
    if (!counter) {
        return nullptr;
    }
    // `+=` on an exact int is integer addition and runs no code: for a small int the sum is
    // made here, and its digits come from the native value.
    Py_ssize_t value = 0;
    bool native = PyLong_CheckExact(counter.get()) && cpython::small_int(counter.get(), &value);
    if (native) {
        ++value;
    }
    Ref next = native ? Ref::steal(PyLong_FromLongLong(value))
                      : Ref::steal(PyNumber_InPlaceAdd(counter.get(), state::one.get()));
    if (!next || !names::store_global(names::_order_counter, next.get())) {
        return nullptr;
    }
    // Read back, not assumed: storing into the namespace can run code that rebinds the name.
    Ref current = names::lookup_global(names::_order_counter);
    if (!current) {
        return nullptr;
    }
    if (native && current.get() == next.get()) {
        return decimal_string(value).release();
    }
    return string_of(current.get()).release();
}

const args::Signature no_params{"_next_id", nullptr, 0, 0, true};

// What new_trade needs to build a record directly: the class as created, the default
// factory handed to its timestamp field, the type's version tag at that point (any later
// change to the class, a new __init__ included, changes the tag), and what the generated
// __init__ runs (its code and closure can be replaced in place, without touching the class).
Global trade_class;
Global trade_factory;
cpython::FunctionBody trade_init;
unsigned int trade_version = 0;

PyObject** const trade_fields[] = {&names::price,          &names::quantity_filled,
                                   &names::aggressor_side, &names::aggressor_id,
                                   &names::filler_id,      &names::trade_type};

bool remember_trade_class(PyObject* cls, PyObject* factory) {
    trade_version = 0;  // the direct path stays off unless everything below is known
    trade_class.set(Ref::borrow(cls));
    trade_factory.set(Ref::borrow(factory));
    if (!PyType_Check(cls)) {
        return true;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, names::__init__);  // borrowed
    if (!init) {
        return !PyErr_Occurred();
    }
    if (!trade_init.take(init)) {
        return false;
    }
    trade_version = cpython::version_tag(type);
    return true;
}

}  // namespace

Ref member(definitions::Member m) {
    static PyObject** const enum_names[kMemberCount] = {
        &names::OrderSide,   &names::OrderStatus, &names::OrderStatus, &names::OrderStatus,
        &names::OrderStatus, &names::TradeType,   &names::TradeType};
    static PyObject** const member_names[kMemberCount] = {
        &names::BID,   &names::OPEN,  &names::PARTIALLY_FILLED, &names::FILLED, &names::CANCELLED,
        &names::LIMIT, &names::MARKET};
    static lookup::MemberCache caches[kMemberCount];
    Ref cls = names::lookup_global(*enum_names[m]);
    return cls ? caches[m].get(cls.get(), *member_names[m]) : Ref();
}

function::Def next_id_def{
    "_next_id",
    "_next_id",
    no_params,
    next_id_body,
    nullptr,
    "()",
    {"velmora.orderbook._next_id", "native/orderbook/records/definitions.cpp", __LINE__},
};

bool make_enumerations() {
    return bind_enum(names::OrderSide, "OrderSide", {{"BID", 0}, {"ASK", 1}}) &&
           bind_enum(names::OrderStatus, "OrderStatus",
                     {{"OPEN", 0}, {"PARTIALLY_FILLED", 1}, {"FILLED", 2}, {"CANCELLED", 3}}) &&
           bind_enum(names::TradeType, "TradeType", {{"LIMIT", 0}, {"MARKET", 1}});
}

bool make_order_id_source() {
    if (!names::store_global(names::_order_counter, state::zero.get())) {
        return false;
    }
    Ref fn = function::make(next_id_def);
    return fn && names::store_global(names::_next_id, fn.get());
}

bool make_trade() {
    static const char* const annotations[][2] = {
        {"price", "Decimal"},      {"quantity_filled", "int"}, {"aggressor_side", "OrderSide"},
        {"aggressor_id", "str"},   {"filler_id", "str"},       {"trade_type", "TradeType"},
        {"timestamp", "datetime"},
    };
    Ref ns = Ref::steal(PyDict_New());
    Ref qualname = Ref::steal(PyUnicode_FromString("Trade"));
    Ref ann = Ref::steal(PyDict_New());
    if (!ns || !qualname || !ann ||
        PyDict_SetItem(ns.get(), names::__module__, names::velmora_orderbook) < 0 ||
        PyDict_SetItem(ns.get(), names::__qualname__, qualname.get()) < 0) {
        return false;
    }
    for (const auto& a : annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(a[1]));
        if (!text || PyDict_SetItemString(ann.get(), a[0], text.get()) < 0) {
            return false;
        }
    }
    if (PyDict_SetItem(ns.get(), names::__annotations__, ann.get()) < 0) {
        return false;
    }
    // timestamp = field(default_factory=datetime.now, init=False)
    Ref field = names::lookup_global(names::field);
    Ref dt = field ? names::lookup_global(names::datetime) : Ref();
    Ref now = dt ? Ref::steal(PyObject_GetAttr(dt.get(), names::now)) : Ref();
    Ref kwnames = now ? Ref::steal(PyTuple_Pack(2, names::default_factory, names::init_)) : Ref();
    if (!kwnames) {
        return false;
    }
    PyObject* call_args[] = {now.get(), Py_False};
    Ref timestamp = Ref::steal(PyObject_Vectorcall(field.get(), call_args, 0, kwnames.get()));
    if (!timestamp || PyDict_SetItem(ns.get(), names::timestamp, timestamp.get()) < 0) {
        return false;
    }
    Ref cls = plain_class(qualname.get(), ns.get());
    Ref dataclass = cls ? names::lookup_global(names::dataclass) : Ref();
    Ref trade = dataclass ? Ref::steal(PyObject_CallOneArg(dataclass.get(), cls.get())) : Ref();
    return trade && remember_trade_class(trade.get(), now.get()) &&
           names::store_global(names::Trade, trade.get());
}

Ref plain_class(PyObject* name, PyObject* ns) {
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) {
        return Ref();
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name,
                                                   bases.get(), ns, nullptr));
}

Ref new_trade(PyObject* cls, PyObject* const* values) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (cls != trade_class.get() || trade_version == 0 || cpython::tag_of(type) != trade_version ||
        !trade_init.unchanged()) {
        return Ref::steal(PyObject_Vectorcall(cls, values, 6, nullptr));
    }
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref record = empty ? Ref::steal(type->tp_new(type, empty.get(), nullptr)) : Ref();
    if (!record) {
        return Ref();
    }
    for (int i = 0; i < 6; ++i) {
        if (PyObject_GenericSetAttr(record.get(), *trade_fields[i], values[i]) < 0) {
            return Ref();
        }
    }
    Ref stamp = Ref::steal(PyObject_CallNoArgs(trade_factory.get()));
    if (!stamp || PyObject_GenericSetAttr(record.get(), names::timestamp, stamp.get()) < 0) {
        return Ref();
    }
    return record;
}

}  // namespace velmora::definitions
