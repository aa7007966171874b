// The docstrings of the five functions, verbatim (their wording, blank lines
// and trailing blanks are part of the module's interface).
//
// Layout: the summary; per documented parameter a separating line, then
// "    :param name:" and its description indented by eight spaces; then a
// separating line, "    :return:", the description, and four trailing
// blanks.  A separating line is empty, or holds four blanks where a
// docstring has them (the *_AFTER_BLANKS forms).
#pragma once

#define FLUXKERN_PARAM(name, text) "\n    :param " name ":\n        " text "\n"
#define FLUXKERN_PARAM_AFTER_BLANKS(name, text) "    \n    :param " name ":\n        " text "\n"
#define FLUXKERN_RETURN(text) "\n    :return:\n        " text "\n    "
#define FLUXKERN_RETURN_AFTER_BLANKS(text) "    \n    :return:\n        " text "\n    "

#define FLUXKERN_NODES FLUXKERN_PARAM("nodes", "The coefficients of the nodal values.")
#define FLUXKERN_CELLS FLUXKERN_PARAM("cells", "The mesh connectivity.")
#define FLUXKERN_GLOB_IDS FLUXKERN_PARAM("glob_ids", "The global dof identifiers.")
#define FLUXKERN_CURLS FLUXKERN_PARAM("curls", "The curls evaluated on the basis functions.")
#define FLUXKERN_D_PHI \
    FLUXKERN_PARAM("d_phi", "The derivatives of the fem basis function on the reference element.")
#define FLUXKERN_ORIENTATIONS \
    FLUXKERN_PARAM("orientations", "The global orientations of the finite elements.")
#define FLUXKERN_X FLUXKERN_PARAM("x", "The solution vector at which the jacobian is computed.")
#define FLUXKERN_Q FLUXKERN_PARAM("q", "The quadrature points.")
#define FLUXKERN_W FLUXKERN_PARAM("w", "The quarature weights.")
#define FLUXKERN_NUM_DOFS FLUXKERN_PARAM("num_dofs", "The number of degrees of freedom.")
#define FLUXKERN_NUM_EL_DOFS \
    FLUXKERN_PARAM("num_el_dofs", "The number of DoFs for each finite element.")
#define FLUXKERN_CURL_CURL_SUMMARY \
    "Compute the stiffness matrix and the jacobian for the magnetic vector potential " \
    "formulation.\n"
#define FLUXKERN_MATRICES_RETURNED "The stiffness matrix and the jacobian."

namespace fluxkern::docstrings {

inline constexpr const char compute_stiffness_and_jacobi_matrix[] =
    "Compute the stiffness matrix for the magnetic scalar potential.\n"
    FLUXKERN_NODES FLUXKERN_CELLS FLUXKERN_D_PHI FLUXKERN_X FLUXKERN_Q FLUXKERN_W
    FLUXKERN_PARAM_AFTER_BLANKS("permeability", "A permeability object (see materials).")
    FLUXKERN_RETURN(FLUXKERN_MATRICES_RETURNED);

inline constexpr const char compute_stiffness_and_jacobi_matrix_curl_curl[] =
    FLUXKERN_CURL_CURL_SUMMARY
    FLUXKERN_NODES FLUXKERN_CELLS FLUXKERN_GLOB_IDS FLUXKERN_CURLS FLUXKERN_D_PHI
    FLUXKERN_ORIENTATIONS FLUXKERN_X
    FLUXKERN_PARAM("B_s", "An optional source potential. This is useful for the reduced vector "
                          "potential formulation.\n"
                          "        If this array is empty, it will be ignored.")
    FLUXKERN_PARAM("reluctance", "The material property. Here reluctance.")
    FLUXKERN_Q FLUXKERN_W FLUXKERN_NUM_DOFS FLUXKERN_NUM_EL_DOFS
    FLUXKERN_RETURN_AFTER_BLANKS(FLUXKERN_MATRICES_RETURNED);

inline constexpr const char compute_rhs_Hcurl_red_c[] =
    FLUXKERN_CURL_CURL_SUMMARY
    FLUXKERN_NODES FLUXKERN_CELLS FLUXKERN_GLOB_IDS FLUXKERN_CURLS FLUXKERN_D_PHI
    FLUXKERN_ORIENTATIONS
    FLUXKERN_PARAM("H_s", "The source magnetic field. Not the flux density!")
    FLUXKERN_PARAM("x", "The initial solution.")
    FLUXKERN_Q FLUXKERN_W FLUXKERN_NUM_DOFS FLUXKERN_NUM_EL_DOFS
    FLUXKERN_RETURN_AFTER_BLANKS(FLUXKERN_MATRICES_RETURNED);

inline constexpr const char compute_B_Hcurl[] =
    "Compute the B field vectors at local coordinates in the FEM mesh.\n"
    FLUXKERN_NODES FLUXKERN_CELLS FLUXKERN_GLOB_IDS FLUXKERN_CURLS
    FLUXKERN_PARAM("phi", "The fem basis function on the reference element.")
    FLUXKERN_D_PHI FLUXKERN_ORIENTATIONS FLUXKERN_X FLUXKERN_Q FLUXKERN_W FLUXKERN_NUM_DOFS
    FLUXKERN_NUM_EL_DOFS
    FLUXKERN_RETURN_AFTER_BLANKS("The B field vectors at the evaluation positions.");

inline constexpr const char compute_B_line_segs_cpp[] =
    "Launch the C++ kernel to compute the B field for the given sources,\n"
    "    targets and current.\n"
    FLUXKERN_PARAM("src", "The sources in an N x 6 numpy array.")
    FLUXKERN_PARAM("tar", "The targets in an M x 3 numpy array.")
    FLUXKERN_PARAM("current", "The strand current.")
    FLUXKERN_PARAM("radius", "The strand radius.")
    FLUXKERN_RETURN("The B fields in an M x 3 numpy array. ");

}  // namespace fluxkern::docstrings
