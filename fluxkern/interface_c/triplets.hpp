// Coordinate lists for the sparse results: the storage a kernel appends to,
// and the csr_array built from it.
#pragma once

#include "convert.hpp"
#include "kernels.hpp"

namespace fluxkern {

// Row, column and value arrays of capacity `num_triplets`, and the list
// record over them.
struct TripletOutput {
    PyRef i, j, vals;
    TripletList list;
};

// The capacity is num_triplets converted to int32; the byte counts follow
// from it exactly (a negative count fails as a size conversion would).
TripletOutput allocate_triplets(PyObject* num_triplets);

// The appended part of the three arrays wrapped for return (zero length:
// the wrapping ValueError).
struct WrappedTriplets {
    PyRef i, j, vals;
};
WrappedTriplets wrap_triplets(const TripletOutput& t);

// csr_array((vals, (i, j)), shape=shape), through the module global.
PyRef to_csr(const WrappedTriplets& t, PyObject* shape);

}  // namespace fluxkern
