// The two text reports of a book: str(book), the price ladder, and print_trade_log(),
// the numbered list of executed trades written through the built-in print.
#include "book/report.hpp"

#include "records/fields.hpp"
#include "records/price_level.hpp"
#include "ref.hpp"
#include "runtime/names.hpp"
#include "runtime/state.hpp"
#include "runtime/unpack.hpp"

namespace velmora::report {
namespace {

// The fixed pieces of both reports, made once on first use.
enum Text {
    kBookHeader,
    kAsks,
    kDivider,
    kBids,
    kBookFooter,
    kNoTrades,
    kLogHeader,
    kLogFooter,
    kNumberSep,
    kSep,
    kPrice,
    kQty,
    kAggressorId,
    kFillerId,
    kTextCount
};

constexpr const char* kTexts[kTextCount] = {
    "===== ORDER BOOK =====\n",
    "ASKS\n",
    "---------------------\n",
    "BIDS\n",
    "======================",
    "No trades executed.",
    "===== TRADE LOG =====",
    "=====================",
    ". ",
    " | ",
    " | Price: ",
    " | Qty: ",
    " | aggressor_id: ",
    " | filler_id: ",
};

Global texts[kTextCount];

PyObject* text(Text t) {
    if (!texts[t]) {
        texts[t].set(Ref::steal(PyUnicode_InternFromString(kTexts[t])));
    }
    return texts[t].get();
}

Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// What a replacement field with an empty format string makes of a value.
Ref format(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return Ref::borrow(value);
    }
    return Ref::steal(PyObject_Format(value, names::empty));
}

bool append_text(PyObject* list, Text t) {
    PyObject* piece = text(t);
    return piece && PyList_Append(list, piece) == 0;
}

// f"{k}  {v.total_quantity}\n" for each (k, v) the iterator yields.
bool append_levels(PyObject* lines, PyObject* items) {
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (!it) {
        return false;
    }
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref price, level;
        if (!unpack::pair(pair.get(), price, level)) {
            return false;
        }
        Ref price_text = format(price.get());
        if (!price_text) {
            return false;
        }
        quantity::MaybeQty q = fields::total_of(level.get());
        Ref total = q ? q->to_object() : Ref();
        Ref total_text = total ? format(total.get()) : Ref();
        Ref line =
            total_text
                ? Ref::steal(PyUnicode_FromFormat("%U  %U\n", price_text.get(), total_text.get()))
                : Ref();
        if (!line || PyList_Append(lines, line.get()) < 0) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

PyObject* str_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref lines = Ref::steal(PyList_New(0));
    if (!lines || !append_text(lines.get(), kBookHeader) || !append_text(lines.get(), kAsks)) {
        return nullptr;
    }
    // Asks from the highest price down: reversed(self.asks.items()).
    Ref asks = attr(self, names::asks);
    Ref ask_items = asks ? Ref::steal(PyObject_CallMethodNoArgs(asks.get(), names::items)) : Ref();
    Ref highest_first =
        ask_items ? Ref::steal(PyObject_CallOneArg(state::reversed.get(), ask_items.get())) : Ref();
    if (!highest_first || !append_levels(lines.get(), highest_first.get()) ||
        !append_text(lines.get(), kDivider)) {
        return nullptr;
    }
    // Bids in their own order, which is already the highest price first.
    Ref bids = attr(self, names::bids);
    Ref bid_items = bids ? Ref::steal(PyObject_CallMethodNoArgs(bids.get(), names::items)) : Ref();
    if (!bid_items || !append_levels(lines.get(), bid_items.get()) ||
        !append_text(lines.get(), kBids) || !append_text(lines.get(), kBookFooter)) {
        return nullptr;
    }
    return PyUnicode_Join(names::empty, lines.get());
}

bool print_line(PyObject* line) {
    return bool(Ref::steal(PyObject_CallOneArg(state::print.get(), line)));
}

bool print_text(Text t) {
    PyObject* line = text(t);
    return line && print_line(line);
}

// trade.<name>.name, formatted
Ref member_name(PyObject* trade, PyObject* name) {
    Ref value = attr(trade, name);
    Ref member = value ? attr(value.get(), names::name) : Ref();
    return member ? format(member.get()) : Ref();
}

Ref field_text(PyObject* trade, PyObject* name) {
    Ref value = attr(trade, name);
    return value ? format(value.get()) : Ref();
}

// f"{i}. {type} | {side} | Price: {price} | Qty: {qty} | aggressor_id: {a} | filler_id: {f}"
Ref trade_line(Py_ssize_t i, PyObject* trade) {
    Ref pieces = Ref::steal(PyList_New(0));
    Ref number = pieces ? Ref::steal(PyUnicode_FromFormat("%zd", i)) : Ref();
    if (!number || PyList_Append(pieces.get(), number.get()) < 0) {
        return Ref();
    }
    struct Field {
        Text before;
        PyObject* name;
        bool enum_member;
    };
    const Field fields[] = {
        {kNumberSep, names::trade_type, true},
        {kSep, names::aggressor_side, true},
        {kPrice, names::price, false},
        {kQty, names::quantity_filled, false},
        {kAggressorId, names::aggressor_id, false},
        {kFillerId, names::filler_id, false},
    };
    for (const Field& f : fields) {
        if (!append_text(pieces.get(), f.before)) {
            return Ref();
        }
        Ref value = f.enum_member ? member_name(trade, f.name) : field_text(trade, f.name);
        if (!value || PyList_Append(pieces.get(), value.get()) < 0) {
            return Ref();
        }
    }
    return Ref::steal(PyUnicode_Join(names::empty, pieces.get()));
}

PyObject* print_trade_log_body(PyObject*, PyObject* const* args) {
    PyObject* self = args[0];
    Ref log = attr(self, names::trade_log);
    int any = log ? PyObject_IsTrue(log.get()) : -1;
    if (any <= 0) {
        if (any < 0 || !print_text(kNoTrades)) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    if (!print_text(kLogHeader)) {
        return nullptr;
    }
    log = attr(self, names::trade_log);
    Ref it = log ? Ref::steal(PyObject_GetIter(log.get())) : Ref();
    if (!it) {
        return nullptr;
    }
    Py_ssize_t i = 1;
    while (Ref trade = Ref::steal(PyIter_Next(it.get()))) {
        Ref line = trade_line(i++, trade.get());
        if (!line || !print_line(line.get())) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    log = attr(self, names::trade_log);
    Py_ssize_t count = log ? PyObject_Length(log.get()) : -1;
    Ref total = count < 0 ? Ref() : Ref::steal(PyUnicode_FromFormat("Total trades: %zd", count));
    if (!total || !print_line(total.get()) || !print_text(kLogFooter)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject** const self_params[] = {&names::self};

}  // namespace

function::Def str_def{
    "__str__",
    "OrderBook.__str__",
    args::signature("__str__", self_params),
    str_body,
    nullptr,
    "(self)",
    {"velmora.orderbook.OrderBook.__str__", "native/orderbook/book/report.cpp", __LINE__},
};

function::Def print_trade_log_def{
    "print_trade_log",
    "OrderBook.print_trade_log",
    args::signature("print_trade_log", self_params),
    print_trade_log_body,
    nullptr,
    "(self)",
    {"velmora.orderbook.OrderBook.print_trade_log", "native/orderbook/book/report.cpp", __LINE__},
};

}  // namespace velmora::report
