// The function table, one registration per line in table order, shared by
// both modules: `Orvane` registers it with the GPU launcher, `OrvaneCPU` with
// the CPU launcher. Arguments are positional only (no names, no defaults), so
// a keyword, a wrong count or a wrong type is pybind11's TypeError.
#pragma once

#include <torch/extension.h>

#include "anisotropy.h"
#include "boundary.h"
#include "dispersion.h"
#include "fields.h"
#include "interpolation.h"
#include "materials.h"
#include "monitor.h"
#include "sources.h"

namespace orvane {

template <class L>
void define_functions(pybind11::module_& m) {
  m.def("Update_E_Dispersion", &update_e_dispersion<L>, "Update_E_Dispersion");
  m.def("Update_H", &update_h<L>, "Update_H");
  m.def("Update_E", &update_e<L>, "Update_E");
  m.def("Update_E_Periodic", &update_e_periodic<L>, "Update_E_Periodic");
  m.def("Inject_H", &inject_h<L>, "Inject_H");
  m.def("Inject_E", &inject_e<L>, "Inject_E");
  m.def("Inject_J", &inject_j<L>, "Inject_J");
  m.def("get_id_range", &get_id_range, "get_id_range");
  m.def("Mat_average", &mat_average<L>, "Average sampling for index");
  m.def("Set_weight_mat_id", &set_weight_mat_id<L>, "Set_weight_mat_id");
  m.def("Set_ER_average", &set_er_average<L>, "Set_ER_average");
  m.def("Set_weight_subcell", &set_weight_subcell<L>, "Set_weight_subcell");
  m.def("Monitor_Update_E", &monitor_update_e<L>, "Monitor_Update_E");
  m.def("Trilinear_interpolation", &trilinear_interpolation<L>, "Trilinear_interpolation");
  m.def("Trilinear_reverse_interpolation", &trilinear_reverse_interpolation<L>,
        "Trilinear_reverse_interpolation");
  // Additions beside the fifteen, after them so that the table keeps its order.
  m.def("Update_E_Anisotropic", &update_e_anisotropic<L>, "Update_E_Anisotropic");
}

}  // namespace orvane
