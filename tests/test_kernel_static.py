"""The GPU kernels' machine code, read without a GPU (bench/kernel_static.py):
every kernel of the registry is there for sm_90, and none spills registers
or touches local memory."""
import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
spec = importlib.util.spec_from_file_location("kernel_static", ROOT / "bench/kernel_static.py")
kernel_static = importlib.util.module_from_spec(spec)
spec.loader.exec_module(kernel_static)

KERNELS = {"Update_H_GPU", "Update_E_GPU", "Update_E_Dispersion_GPU", "E_boundx <0>",
           "E_boundy <1>", "Inject_E_Plane_GPU <true>", "Inject_H_Plane_GPU <false>",
           "Inject_J_GPU", "Mat_Average_GPU<float>", "Mat_Average_GPU<double>",
           "Set_weight_mat_id_GPU", "Set_ER_average_GPU", "Set_weight_subcell_GPU",
           "Monitor_Update_GPU_E", "Trilinear_interpolation_GPU",
           "Trilinear_reverse_interpolation_GPU"}


def test_every_kernel_is_built_without_spills():
    module, tool = kernel_static.default_module(), kernel_static.find_tool("cuobjdump")
    if module is None or tool is None:
        pytest.skip("needs the built Orvane and cuobjdump (set-up installs it)")
    kernels = kernel_static.table(module, "sm_90", tool)
    assert set(kernels) == KERNELS
    for name, c in kernels.items():
        assert c["spill"] == 0 and c["LDL"] + c["STL"] == 0, name
