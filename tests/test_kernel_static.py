"""The GPU kernels' machine code, read without a GPU (bench/kernel_static.py):
every kernel of the registry is there for sm_90, none spills registers or
touches local memory, and the compact instantiations stay within their
instruction budgets."""
import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
spec = importlib.util.spec_from_file_location("kernel_static", ROOT / "bench/kernel_static.py")
kernel_static = importlib.util.module_from_spec(spec)
spec.loader.exec_module(kernel_static)

# The compact instantiations' budgets of SASS instructions: the field updates
# at about half the general ones', the dispersive pass and the monitor at
# most half.
COMPACT_BUDGET = {"Update_H_GPU": 300, "Update_E_GPU": 400, "Update_E_Dispersion_GPU": 448,
                  "Monitor_Update_GPU_E": 190}
KERNELS = {f"{name} <{layout}>" for name in COMPACT_BUDGET for layout in ("Strided", "Compact")}
KERNELS |= {"E_boundx <0>", "E_boundy <1>", "Inject_E_Plane_GPU <true>",
            "Inject_H_Plane_GPU <false>", "Inject_J_GPU", "Mat_Average_GPU<float>",
            "Mat_Average_GPU<double>", "Set_weight_mat_id_GPU", "Set_ER_average_GPU",
            "Set_weight_subcell_GPU", "Trilinear_interpolation_GPU",
            "Trilinear_reverse_interpolation_GPU", "Anisotropic_Increments_GPU",
            "Update_E_Anisotropic_GPU"}


def test_every_kernel_is_built_without_spills():
    module, tools = kernel_static.default_module(), kernel_static.find_tools()
    if module is None:
        pytest.skip("needs the built Orvane (a build with a CUDA compiler)")
    if kernel_static.missing(tools):
        pytest.skip(f"needs {kernel_static.missing(tools)}; set-up installs them")
    kernels = kernel_static.table(module, "sm_90", tools)
    assert set(kernels) == KERNELS
    for name, c in kernels.items():
        assert c["spill"] == 0 and c["LDL"] + c["STL"] == 0, name
    for name, budget in COMPACT_BUDGET.items():
        assert kernels[f"{name} <Compact>"]["instructions"] <= budget, name
