// velmora.core.Sampler: the Python face of sampling.hpp. A Sampler is given to Book.replay,
// which drives it through the events; its rows are taken out as a NumPy array whenever the
// caller likes, so that a long stream keeps only the rows not yet taken.
#pragma once

#include <Python.h>

#include "batch.hpp"
#include "sampling.hpp"

namespace velmora::core {

using Sampler = BasicSampler<batch::FillRecord>;

struct SamplerObject {
    PyObject_HEAD
    Sampler* sampler;
    PyObject* dtype;  // the rows' NumPy dtype
};

extern PyTypeObject SamplerType;

// Fills in and readies SamplerType; false with an exception set.
bool ready_sampler_type() noexcept;

}  // namespace velmora::core
