// The OrderBook class (in progress).
#include "book.hpp"

namespace velmora::book {

bool make_class() { return true; }

}  // namespace velmora::book
