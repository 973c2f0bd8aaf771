"""Type stubs of OrvaneCPU: the fifteen functions of the FDTD compute core and
the anisotropic pass beside them, for CPU tensors. Every argument is positional only; the names say what each one is."""
from torch import Tensor

def Update_E_Dispersion(
    Ex: Tensor, Ey: Tensor, Ez: Tensor, Ex_prev: Tensor, Ey_prev: Tensor, Ez_prev: Tensor,
    w_x: Tensor, w_y: Tensor, w_z: Tensor, id1_x: Tensor, id1_y: Tensor, id1_z: Tensor,
    id2_x: Tensor, id2_y: Tensor, id2_z: Tensor, den1_x: Tensor, den1_y: Tensor, den1_z: Tensor,
    den2_x: Tensor, den2_y: Tensor, den2_z: Tensor, rec_a: Tensor, rec_b: Tensor, acc1_x: Tensor,
    acc1_y: Tensor, acc1_z: Tensor, acc2_x: Tensor, acc2_y: Tensor, acc2_z: Tensor, spare: Tensor, /
) -> None: ...

def Update_H(
    Hx: Tensor, Hy: Tensor, Hz: Tensor, Ex: Tensor, Ey: Tensor, Ez: Tensor, ch_x: Tensor,
    ch_y: Tensor, ch_z: Tensor, hpsi_x: Tensor, hpsi_y: Tensor, hpsi_z: Tensor, hb_x: Tensor,
    hb_y: Tensor, hb_z: Tensor, hc_x: Tensor, hc_y: Tensor, hc_z: Tensor, layer_cells: Tensor,
    spare: Tensor, /
) -> None: ...

def Update_E(
    Ex: Tensor, Ey: Tensor, Ez: Tensor, Hx: Tensor, Hy: Tensor, Hz: Tensor, cg1_x: Tensor,
    cg1_y: Tensor, cg1_z: Tensor, cg2_x: Tensor, cg2_y: Tensor, cg2_z: Tensor, ce_x: Tensor,
    ce_y: Tensor, ce_z: Tensor, epsi_x: Tensor, epsi_y: Tensor, epsi_z: Tensor, eb_x: Tensor,
    eb_y: Tensor, eb_z: Tensor, ec_x: Tensor, ec_y: Tensor, ec_z: Tensor, layer_cells: Tensor,
    spare: Tensor, /
) -> None: ...

def Update_E_Periodic(
    Ex: Tensor, Ey: Tensor, Ez: Tensor, phase_x: Tensor, phase_y: Tensor, periodic_flags: Tensor,
    positive_phase: bool, /
) -> None: ...

def Inject_H(
    Hx: Tensor, Hy: Tensor, cz: Tensor, amp_x: Tensor, amp_y: Tensor, prof_x: Tensor,
    prof_y: Tensor, margins: Tensor, k: int, /
) -> None: ...

def Inject_E(
    Ex: Tensor, Ey: Tensor, cz: Tensor, amp_x: Tensor, amp_y: Tensor, prof_x: Tensor,
    prof_y: Tensor, margins: Tensor, k: int, /
) -> None: ...

def Inject_J(
    Ex: Tensor, Ey: Tensor, Ez: Tensor, Jx: Tensor, Jy: Tensor, Jz: Tensor, offset: Tensor, /
) -> None: ...

def get_id_range(bounds: Tensor, coords: Tensor, /) -> Tensor: ...

def Mat_average(
    box_x: Tensor, box_y: Tensor, box_z: Tensor, samples: Tensor, coord_x: Tensor,
    coord_y: Tensor, coord_z: Tensor, /
) -> tuple[Tensor, Tensor, Tensor, Tensor]: ...

def Set_weight_mat_id(
    box_x: Tensor, box_y: Tensor, box_z: Tensor, samples: Tensor, coord_x: Tensor,
    coord_y: Tensor, coord_z: Tensor, mat_id: int, weight: Tensor, primary: Tensor,
    secondary: Tensor, /
) -> None: ...

def Set_ER_average(
    eps_average: Tensor, weight: Tensor, primary: Tensor, secondary: Tensor, table: Tensor, /
) -> None: ...

def Set_weight_subcell(
    box_x: Tensor, box_y: Tensor, box_z: Tensor, samples: Tensor, coord_x: Tensor,
    coord_y: Tensor, coord_z: Tensor, weight: Tensor, object_id: int, primary: Tensor,
    secondary: Tensor, normals: Tensor, table: Tensor, component: int, /
) -> tuple[Tensor, Tensor, Tensor]: ...

def Monitor_Update_E(
    Ex_acc: Tensor, Ey_acc: Tensor, Ez_acc: Tensor, Ex: Tensor, Ey: Tensor, Ez: Tensor,
    step_factor: Tensor, x_range: Tensor, y_range: Tensor, z_range: Tensor, /
) -> None: ...

def Trilinear_interpolation(
    grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, grid_values: Tensor, target_x: Tensor,
    target_y: Tensor, target_z: Tensor, nearest: bool, /
) -> Tensor: ...

def Trilinear_reverse_interpolation(
    grid_x: Tensor, grid_y: Tensor, grid_z: Tensor, target_values: Tensor, target_x: Tensor,
    target_y: Tensor, target_z: Tensor, /
) -> Tensor: ...

def Update_E_Anisotropic(
    Ex: Tensor, Ey: Tensor, Ez: Tensor, Hx: Tensor, Hy: Tensor, Hz: Tensor, ce_x: Tensor,
    ce_y: Tensor, ce_z: Tensor, nodes: Tensor, neighbours: Tensor, weights: Tensor, /
) -> None: ...
