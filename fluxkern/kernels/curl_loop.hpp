// The element loop of the vector-potential kernels: the curl-curl kernels
// (the lists, and with a source the right-hand side) and the reduced
// right-hand side alone.  It owns the loop, the prefetching and the choice
// of what the points of an element share; the arithmetic is the
// integrator's (curl_element.hpp), the lists the emitter's.
#pragma once

#include <optional>

#include "curl_element.hpp"
#include "kernel_common.hpp"
#include "kernels.hpp"
#include "triplet_emitter.hpp"

namespace fluxkern::curl {
namespace {

// What a loop produces.
enum class Produce { lists, lists_and_rhs, rhs };

// Elements ahead whose scattered data are asked for.
constexpr idx kAhead = 16;

template <Produce kWhat, class Element, class Fn, class Nf, class Nv>
FLUXKERN_INLINE void integrate(Element& el, TripletEmitter* emit, double* rhs, idx e, Fn fn,
                               Nf nf, Nv nv) {
    el.template fields<kWhat != Produce::rhs>(e, nf, nv);
    if constexpr (kWhat != Produce::rhs) {
        el.pair_sums(nf, nv, emit->values_K(), emit->values_dK());
        emit->element(fn, el.ids(e));
    }
    if constexpr (kWhat != Produce::lists) el.rhs_additions(e, nf, nv, rhs);
}

template <Produce kWhat, class Fn, class Nd, class Np>
FLUXKERN_CLONES void element_loop(TripletList* K, TripletList* dK, double* rhs,
                                  const CurlInputs& in, Fn fn, Nd nd, Np np) {
    const idx E = in.mesh.num_el;
    const ReluctanceCurve curve(in.rel);
    CurlElement<Fn, Nd, Np> el(in, curve, fn, nd, np);
    std::optional<TripletEmitter> lists;
    if constexpr (kWhat != Produce::rhs) lists.emplace(*K, *dK, idx(fn), E);
    TripletEmitter* emit = lists ? &*lists : nullptr;
    for (idx e = 0; e < E; ++e) {
        if (e + kAhead < E) el.prefetch(e + kAhead, rhs);
        switch (el.sharing(e)) {
            case Sharing::all: integrate<kWhat>(el, emit, rhs, e, fn, One{}, One{}); break;
            case Sharing::geometry: integrate<kWhat>(el, emit, rhs, e, fn, np, One{}); break;
            case Sharing::none: integrate<kWhat>(el, emit, rhs, e, fn, np, np); break;
        }
    }
    if (emit) emit->finish();
}

// The loop compiled for the elements met most (lowest-order edge elements
// on tetrahedra: six functions, four nodes; four points or any number),
// and for any counts.
template <Produce kWhat>
void run(TripletList* K, TripletList* dK, double* rhs, const CurlInputs& in, idx n) {
    const idx N = in.mesh.el_nodes, M = in.quad.num_points;
    if (n == 6 && N == 4 && M == 4)
        element_loop<kWhat>(K, dK, rhs, in, Count<6>{}, Count<4>{}, Count<4>{});
    else if (n == 6 && N == 4)
        element_loop<kWhat>(K, dK, rhs, in, Count<6>{}, Count<4>{}, M);
    else
        element_loop<kWhat>(K, dK, rhs, in, n, N, M);
}

}  // namespace
}  // namespace fluxkern::curl
