// The two text reports of a book: str(book) and print_trade_log().
#pragma once

#include <Python.h>

#include "runtime/function.hpp"

namespace velmora::report {

extern function::Def str_def;              // OrderBook.__str__
extern function::Def print_trade_log_def;  // OrderBook.print_trade_log

}  // namespace velmora::report
