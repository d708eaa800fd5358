// Bodies of the module functions whose work is mostly Python objects.
#pragma once

#include "binding.hpp"
#include "../soil/soil.hpp"
#include "../solver/solver.hpp"

namespace pelorin::py {

PyObject* get_inputs_body(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* compute_body(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* get_initial_body(PyObject* module, Args& a);

// Index of each function in the table (namespace order).
enum Fn : int {
    kGetInputs, kLogspace, kGetKtest, kGetAvtest, kGetEtest, kGetResidual, kGetUtest2,
    kGetUtest, kMax, kGetInitial, kCompute,
};

// Core calls with the inputs already bound: shared by the module functions
// and by the run's direct path.  Each makes its result arrays with np.zeros.
NewArray residual_call(PyObject* module, const solver::ResidualIn& in);
NewArray utest_call(PyObject* module, const solver::UtestIn& in);
NewArray utest2_call(PyObject* module, const solver::Utest2In& in);
PyObject* etest_result(const soil::EtestResult& r);

}  // namespace pelorin::py
