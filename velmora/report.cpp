// The two text reports of a book (in progress).
#include "report.hpp"
