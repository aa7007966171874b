"""NumPy reference of the finite-element kernels, the material curves and the
element geometry of fluxkern_mod.

Every function performs the same IEEE operations in the same order as the
compiled kernels, so single-threaded results compare with ``np.array_equal``.
Work is vectorised across elements or points with elementwise ufuncs only
(each ufunc call is one correctly rounded operation per entry); sums whose
order matters are written out term by term, never with ``np.sum``, ``@`` or
``einsum``.  Transcendental functions come from ``math`` (the C library),
not from NumPy's own implementations.

Array conventions: ``nodes`` (num_nodes, 3); ``cells`` (E, N); ``d_phi``
(M, N, 3); ``phi`` (M, N); ``curls`` (classes, M, n, 3); ``glob_ids`` (E, n);
per-point fields (E, M, 3); Jacobians (E, M, 3, 3) with rows the physical
coordinates and columns the reference directions.
"""

import math

import numpy as np

NU0 = 795774.7154594767  # 1 / mu0, the reluctivity of vacuum
MIN_FIELD = 1e-14  # field magnitude below which no Newton term is added


def _dot(p, q):
    """(p0*q0 + p1*q1) + p2*q2 over the last axis."""
    return (p[..., 0] * q[..., 0] + p[..., 1] * q[..., 1]) + p[..., 2] * q[..., 2]


def _c_log10(h):
    """C log10 (math.log10 raises where C returns -inf or NaN)."""
    if h > 0.0:
        return math.log10(h)
    return -math.inf if h == 0.0 else math.nan


def _c_pow(d, y):
    """C pow for the integral exponents used here (math.pow raises on overflow)."""
    try:
        return math.pow(d, y)
    except OverflowError:
        return math.copysign(math.inf, d) if y % 2.0 == 1.0 else math.inf


def _pow(d, y):
    return np.array([_c_pow(float(v), y) for v in np.ravel(d)]).reshape(np.shape(d))


# ------------------------------------------------------------ element geometry


def jacobians(nodes, cells, d_phi):
    """J[e, m, k, l]: sum over local nodes of X[k] * d_phi[m, a, l], node order."""
    X = nodes[cells]  # (E, N, 3)
    J = np.zeros((cells.shape[0], d_phi.shape[0], 3, 3))
    for a in range(cells.shape[1]):
        J = J + d_phi[None, :, a, None, :] * X[:, None, a, :, None]
    return J


def invert_jacobians(J):
    """Signed determinants and inverses (cofactors times 1/det)."""
    a = [J[..., i // 3, i % 3] for i in range(9)]
    g = a[4] * a[8] - a[7] * a[5]
    with np.errstate(all="ignore"):
        det = g * a[0] - (a[3] * a[8] - a[6] * a[5]) * a[1] + (a[3] * a[7] - a[4] * a[6]) * a[2]
        h = 1.0 / det
    cof = [g, a[2] * a[7] - a[8] * a[1], a[1] * a[5] - a[4] * a[2],
           a[6] * a[5] - a[8] * a[3], a[8] * a[0] - a[6] * a[2], a[3] * a[2] - a[0] * a[5],
           a[3] * a[7] - a[6] * a[4], a[6] * a[1] - a[0] * a[7], a[0] * a[4] - a[1] * a[3]]
    with np.errstate(all="ignore"):
        J_inv = np.stack([c * h for c in cof], axis=-1).reshape(J.shape)
    return det, J_inv


def map_to_physical(nodes, cells, phi):
    X = nodes[cells]
    P = np.zeros((cells.shape[0], phi.shape[0], 3))
    for a in range(cells.shape[1]):
        P = P + X[:, None, a, :] * phi[None, :, a, None]
    return P


def grad_field(cells, d_phi, x, J_inv):
    """Physical gradient of the nodal field x: J^-T times the reference one."""
    g = np.zeros((cells.shape[0], d_phi.shape[0], 3))
    for a in range(cells.shape[1]):
        g = g + x[cells[:, a]][:, None, None] * d_phi[None, :, a, :]
    return np.stack([(g[..., 0] * J_inv[..., 0, k] + g[..., 1] * J_inv[..., 1, k])
                     + g[..., 2] * J_inv[..., 2, k] for k in range(3)], axis=-1)


def mapped_curls(J, C):
    """J_m c(m, k) for C (E, M, n, 3): rows (J[r,0] c0 + J[r,1] c1) + J[r,2] c2."""
    Jb = J[:, :, None]
    return np.stack([(Jb[..., r, 0] * C[..., 0] + Jb[..., r, 1] * C[..., 1])
                     + Jb[..., r, 2] * C[..., 2] for r in range(3)], axis=-1)


def curl_field(init, glob_ids, x, C, J, det):
    """init + sum over local functions of (J c * x[id]) / det, in function order."""
    V = mapped_curls(J, C)
    curl = init.copy()
    with np.errstate(all="ignore"):
        for b in range(C.shape[2]):
            curl = curl + (V[:, :, b, :] * x[glob_ids[:, b]][:, None, None]) / det[..., None]
    return curl


def norms(v):
    return np.sqrt((v[..., 0] * v[..., 0] + v[..., 1] * v[..., 1]) + v[..., 2] * v[..., 2])


# ------------------------------------------------------------- material curves
# Vectorised over an array of abscissae s; branches depend on knots only.


def bspline_basis(i, k, t, s):
    """Cox-de Boor recursion; terms over zero-width knot intervals are dropped."""
    s = np.asarray(s, dtype=float)
    if k == 0:
        return np.where((s >= t[i]) & (s < t[i + 1]) & ~np.isinf(s), 1.0, 0.0)
    left = np.zeros_like(s)
    right = np.zeros_like(s)
    with np.errstate(all="ignore"):
        if t[i + k] != t[i]:
            left = ((s - t[i]) / (t[i + k] - t[i])) * bspline_basis(i, k - 1, t, s)
        if t[i + k + 1] != t[i + 1]:
            right = ((t[i + k + 1] - s) / (t[i + k + 1] - t[i + 1])) * bspline_basis(i + 1, k - 1, t, s)
        # an infinite abscissa lies outside every knot span
        return np.where(np.isinf(s), 0.0, right + left)


def permeability(H, type_spec, k, t, c, H_min, mu_H_min):
    """(mu, dmu/dH) of the B-spline over log10 H; mu_H_min below H_min or for type 0."""
    H = np.asarray(H, dtype=float)
    t = np.asarray(t, dtype=float)
    c = np.asarray(c, dtype=float)
    n = len(t) - k - 1
    s = np.array([_c_log10(float(h)) for h in H.ravel()]).reshape(H.shape)
    mu = np.zeros_like(H)
    D = np.zeros_like(H)
    with np.errstate(all="ignore"):
        for i in range(max(n, 0)):
            mu = mu + bspline_basis(i, k, t, s) * c[i]
            if k == 0:
                D = D + c[i] * 0.0
                continue
            e = np.zeros_like(H)
            g = np.zeros_like(H)
            if t[i + k] != t[i]:
                e = bspline_basis(i, k - 1, t, s) * (k / (t[i + k] - t[i]))
            if t[i + k + 1] != t[i + 1]:
                g = bspline_basis(i + 1, k - 1, t, s) * (k / (t[i + k + 1] - t[i + 1]))
            D = D + (e - g) * c[i]
        dmu = D / (math.log(10.0) * H)
    const = (type_spec == 0) | (H_min > H)
    return np.where(const, mu_H_min, mu), np.where(const, 0.0, dmu)


def piecewise_cubic(s, c, x):
    """(value, derivative) of the piecewise cubic; c (4, n) by falling power."""
    s = np.asarray(s, dtype=float)
    x = np.asarray(x, dtype=float)
    n = len(x) - 1
    if n == -1:
        return np.full_like(s, np.ravel(c)[0]), np.zeros_like(s)
    c = np.asarray(c, dtype=float).reshape(4, n)
    v = np.zeros_like(s)
    dv = np.zeros_like(s)
    with np.errstate(all="ignore"):
        pieces = [((s >= x[p]) & (s < x[p + 1]), p) for p in range(n)]
        pieces.append((s >= x[n], n - 1))  # the last piece, extrapolated
        for mask, p in pieces:
            d = s - x[p]
            P = [_pow(d, float(e)) for e in range(4)]
            nv = v
            for r in range(4):
                nv = nv + P[3 - r] * c[r, p]
            ndv = dv
            for e in (3, 2, 1):
                ndv = ndv + P[e - 1] * (e * c[3 - e, p])
            v = np.where(mask, nv, v)
            dv = np.where(mask, ndv, dv)
    return v, dv


# ---------------------------------------------------------------- assembly


def _element_pairs(n):
    """Local (row, column) emission order: diagonal, then each pair and its mirror."""
    order = []
    for a in range(n):
        for b in range(a, n):
            order.append((a, b, a, b))
            if b != a:
                order.append((b, a, a, b))
    return order


def _emit(rows_of, vals, n):
    """Triplets (i, j, K, dK) in emission order, element-major.

    rows_of (E, n) global indices; vals maps (a, b), a <= b, to (E,) arrays."""
    I, Jc, VK, VdK = [], [], [], []
    for r, col, a, b in _element_pairs(n):
        I.append(rows_of[:, r])
        Jc.append(rows_of[:, col])
        VK.append(vals[a, b][0])
        VdK.append(vals[a, b][1])
    return tuple(np.stack(z, axis=1).ravel() for z in (I, Jc, VK, VdK))


def scalar_potential(nodes, cells, d_phi, x, w, perm):
    """Triplets (i, j, K, dK) of the scalar-potential formulation.

    perm: (type_spec, k, t, c, H_min, mu_H_min)."""
    J = jacobians(nodes, cells, d_phi)
    det, J_inv = invert_jacobians(J)
    H = grad_field(cells, d_phi, x, J_inv)
    Hmag = norms(H)
    mu, dmu = permeability(Hmag, *perm)
    # Physical gradients G[e, m, a, k] = (d0 Ji[0, k] + d1 Ji[1, k]) + d2 Ji[2, k].
    D = d_phi[None, :, :, :, None]
    Ji = J_inv[:, :, None]
    G = (D[..., 0, :] * Ji[..., 0, :] + D[..., 1, :] * Ji[..., 1, :]) + D[..., 2, :] * Ji[..., 2, :]
    hG = _dot(H[:, :, None, :], G)  # (E, M, N)
    fK = (det * mu) * w
    fdK = (det * dmu) * w
    active = Hmag >= MIN_FIELD
    N = cells.shape[1]
    vals = {}
    with np.errstate(all="ignore"):
        for a in range(N):
            for b in range(a, N):
                sK = np.zeros(cells.shape[0])
                sdK = np.zeros(cells.shape[0])
                for m in range(d_phi.shape[0]):
                    sK = sK + _dot(G[:, m, b], G[:, m, a]) * fK[:, m]
                    term = ((hG[:, m, a] * fdK[:, m]) * hG[:, m, b]) / Hmag[:, m]
                    sdK = np.where(active[:, m], sdK + term, sdK)
                vals[a, b] = (sK, sdK)
    return _emit(cells, vals, N)


def _curl_setup(nodes, cells, glob_ids, curls, d_phi, orientations, x, B_s):
    J = jacobians(nodes, cells, d_phi)
    det, _ = invert_jacobians(J)
    C = curls[orientations]  # (E, M, n, 3)
    init = np.zeros((cells.shape[0], d_phi.shape[0], 3)) if B_s is None else B_s
    B = curl_field(init, glob_ids, x, C, J, det)
    return det, mapped_curls(J, C), B, norms(B)


def _rhs_accumulate(rhs, glob_ids, V, B_s, nu, w):
    """rhs[id] += (V . S * (NU0 - nu)) * w for elements, functions, points in order."""
    with np.errstate(all="ignore"):  # inf * 0 as C forms it
        T = (_dot(V, B_s[:, :, None, :]) * (NU0 - nu)[:, :, None]) * w[None, :, None]  # (E, M, n)
    for e in range(glob_ids.shape[0]):
        for j in range(glob_ids.shape[1]):
            for m in range(T.shape[1]):
                rhs[glob_ids[e, j]] = rhs[glob_ids[e, j]] + T[e, m, j]
    return rhs


def curl_curl(nodes, cells, glob_ids, curls, d_phi, orientations, x, w, rel, num_dofs, B_s=None):
    """Triplets (i, j, K, dK) and rhs of the curl-curl formulation.

    rel: (c, x) of the piecewise cubic (x empty: the constant c[0]);
    B_s (E, M, 3) or None."""
    det, V, B, Bmag = _curl_setup(nodes, cells, glob_ids, curls, d_phi, orientations, x, B_s)
    nu, dnu = piecewise_cubic(Bmag, *rel)
    BV = _dot(B[:, :, None, :], V)  # (E, M, n)
    active = Bmag >= MIN_FIELD
    n = glob_ids.shape[1]
    vals = {}
    with np.errstate(all="ignore"):
        for j in range(n):
            for l in range(j, n):
                k_jl = np.zeros(cells.shape[0])
                d_jl = np.zeros(cells.shape[0])
                for m in range(d_phi.shape[0]):
                    k_jl = k_jl + ((_dot(V[:, m, l], V[:, m, j]) * nu[:, m]) * w[m]) / det[:, m]
                    term = ((((BV[:, m, j] * dnu[:, m]) * BV[:, m, l]) * w[m]) / det[:, m]) / Bmag[:, m]
                    d_jl = np.where(active[:, m], d_jl + term, d_jl)
                vals[j, l] = (k_jl, d_jl)
    rhs = np.zeros(num_dofs)
    if B_s is not None:
        _rhs_accumulate(rhs, glob_ids, V, B_s, nu, w)
    return _emit(glob_ids, vals, n) + (rhs,)


def rhs_hcurl_red(nodes, cells, glob_ids, curls, d_phi, orientations, B_s, x, w, rel, num_dofs):
    """Reduced right-hand side; equals curl_curl(...)[4] with the same B_s."""
    _, V, _, Bmag = _curl_setup(nodes, cells, glob_ids, curls, d_phi, orientations, x, B_s)
    nu, _ = piecewise_cubic(Bmag, *rel)
    return _rhs_accumulate(np.zeros(num_dofs), glob_ids, V, B_s, nu, w)


def b_hcurl(nodes, cells, glob_ids, curls, phi, d_phi, orientations, x):
    """Physical points and B at the evaluation positions, both (E, M, 3)."""
    J = jacobians(nodes, cells, d_phi)
    det, _ = invert_jacobians(J)
    init = np.zeros((cells.shape[0], d_phi.shape[0], 3))
    B = curl_field(init, glob_ids, x, curls[orientations], J, det)
    return map_to_physical(nodes, cells, phi), B


# ----------------------------------------------------------------- Biot-Savart


def biot_savart(src, tar, current, radius):
    """Flux density (M x 3) of straight strands, in the kernel's evaluation order.

    Segments are summed one after another into a per-target sum, which is
    scaled once at the end as ``((sum * current) * 1e-7) + 0.0``: with one
    worker thread the module gives exactly these bits.  The inner (round
    conductor) and outer (finite filament) formulas are both evaluated and
    chosen per target.
    """
    src = np.asarray(src, dtype=np.float64)
    tar = np.asarray(tar, dtype=np.float64)
    num_src, num_tar = src.shape[0], tar.shape[0]
    seg = src.reshape(-1)[: 6 * num_src].reshape(num_src, 6)
    t = tar.reshape(-1)[: 3 * num_tar].reshape(num_tar, 3)
    tx, ty, tz = (np.ascontiguousarray(t[:, c]) for c in range(3))
    sx, sy, sz = np.zeros(num_tar), np.zeros(num_tar), np.zeros(num_tar)
    with np.errstate(all="ignore"):
        r = np.float64(radius)
        rr = r * r
        for ax, ay, az, bx, by, bz in seg:
            Lx, Ly, Lz = bx - ax, by - ay, bz - az
            L2 = (Lx * Lx + Ly * Ly) + Lz * Lz
            R0x, R0y, R0z = ax - tx, ay - ty, az - tz
            R1x, R1y, R1z = bx - tx, by - ty, bz - tz
            d0 = np.sqrt((R0x * R0x + R0y * R0y) + R0z * R0z)
            d1 = np.sqrt((R1x * R1x + R1y * R1y) + R1z * R1z)
            lam = (((Lx * R0x + Ly * R0y) + Lz * R0z) * -1.0) / L2
            rhox = tx - (Lx * lam + ax)
            rhoy = ty - (Ly * lam + ay)
            rhoz = tz - (Lz * lam + az)
            rho2 = (rhox * rhox + rhoy * rhoy) + rhoz * rhoz
            inside = ((rr > rho2) & (lam <= 1.0) & (lam >= 0.0)) | (r > d0) | (r > d1)
            Vx = Ly * rhoz - Lz * rhoy
            Vy = Lz * rhox - Lx * rhoz
            Vz = Lx * rhoy - Ly * rhox
            vn = np.sqrt((Vx * Vx + Vy * Vy) + Vz * Vz)
            g = (((np.sqrt(rho2) + np.sqrt(rho2)) / r) / r) / vn
            live = vn > 0.0      # on the axis, or for a zero-length segment, nothing is added
            Wx = R0y * R1z - R0z * R1y
            Wy = R0z * R1x - R0x * R1z
            Wz = R0x * R1y - R0y * R1x
            f = (((d0 + d1) / (((R0x * R1x + R0y * R1y) + R0z * R1z) + d0 * d1)) / d0) / d1
            sx = np.where(inside, np.where(live, Vx * g, 0.0), Wx * f) + sx
            sy = np.where(inside, np.where(live, Vy * g, 0.0), Wy * f) + sy
            sz = np.where(inside, np.where(live, Vz * g, 0.0), Wz * f) + sz
        current = np.float64(current)
        return np.stack([((s * current) * 1e-7) + 0.0 for s in (sx, sy, sz)], axis=1)
