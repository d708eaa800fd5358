// pybind11 binding of the run engine: per-element column description in,
// NumPy histories out.  The engine runs without the GIL; every ~50 ms it takes
// the GIL back briefly to let Python handle signals (Ctrl-C), and at every
// output time to call the progress callback.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace py = pybind11;
namespace eng = pelorin::engine;

namespace {

using Arr = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IArr = py::array_t<int, py::array::c_style | py::array::forcecast>;

std::vector<double> vec(const Arr& a, const char* name, py::ssize_t n) {
    if (a.ndim() != 1 || (n >= 0 && a.shape(0) != n))
        throw py::value_error(std::string(name) + " must be one-dimensional with " +
                              std::to_string(n) + " entries");
    return std::vector<double>(a.data(), a.data() + a.shape(0));
}

eng::ColumnInput column_input(const Arr& depth, const py::dict& el, double qo, double gammaw,
                              int drainage, bool check_history, const py::object& node_dsigv,
                              const py::object& node_ru) {
    eng::ColumnInput in;
    in.depth = vec(depth, "depth", -1);
    const py::ssize_t N = static_cast<py::ssize_t>(in.depth.size()) - 1;
    if (N < 1) throw py::value_error("depth needs at least two nodes");
    auto get = [&](const char* name) {
        if (!el.contains(name)) throw py::value_error(std::string("missing element property ") + name);
        return vec(el[name].cast<Arr>(), name, N);
    };
    const auto Cc = get("Cc"), Cr = get("Cr"), sigvref = get("sigvref"), esigvref = get("esigvref"),
               kref = get("kref"), ekref = get("ekref"), Ck = get("Ck"), Ca = get("Ca"),
               tref = get("tref");
    in.mat.resize(N);
    for (py::ssize_t c = 0; c < N; ++c)
        in.mat[c] = {Cc[c], Cr[c], sigvref[c], esigvref[c], kref[c], ekref[c], Ck[c], Ca[c], tref[c]};
    in.Gs = get("Gs");
    in.dsigv = get("dsigv");
    in.ru = get("ru");
    in.hist_value = get("ocrvoidratio");
    if (!el.contains("ocrvoidratiotype")) throw py::value_error("missing element property ocrvoidratiotype");
    const IArr types = el["ocrvoidratiotype"].cast<IArr>();
    if (types.ndim() != 1 || types.shape(0) != N)
        throw py::value_error("ocrvoidratiotype must have one entry per element");
    in.hist_type.assign(types.data(), types.data() + N);
    if (!node_dsigv.is_none()) in.node_dsigv = vec(node_dsigv.cast<Arr>(), "node_dsigv", N + 1);
    if (!node_ru.is_none()) in.node_ru = vec(node_ru.cast<Arr>(), "node_ru", N + 1);
    in.qo = qo;
    in.gammaw = gammaw;
    in.drainage = drainage;
    in.check_history = check_history;
    return in;
}

py::array_t<double> to_array(const std::vector<double>& v) {
    py::array_t<double> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::dict prepared(const eng::Column& col) {
    py::dict d;
    d["solids"] = to_array(col.S);
    d["sigma0"] = to_array(col.sigma0);
    d["e0"] = to_array(col.e0);
    d["sigma0_node"] = to_array(col.sig_node);
    return d;
}

py::dict prepare(const Arr& depth, const py::dict& el, double qo, double gammaw, int drainage,
                 bool check_history) {
    const auto in = column_input(depth, el, qo, gammaw, drainage, check_history, py::none(), py::none());
    return prepared(eng::prepare(in));
}

py::dict solve(const Arr& depth, const py::dict& el, double qo, const Arr& time, const Arr& loadfactor,
               double gammaw, int drainage, double rtol, long max_substeps, int max_newton,
               const py::object& progress, const py::object& node_dsigv, const py::object& node_ru,
               bool check_history) {
    const auto in = column_input(depth, el, qo, gammaw, drainage, check_history, node_dsigv, node_ru);
    const eng::Column col = eng::prepare(in);
    const auto t = vec(time, "time", -1);
    const auto lf = vec(loadfactor, "loadfactor", static_cast<py::ssize_t>(t.size()));
    const py::ssize_t N = col.N, nc = static_cast<py::ssize_t>(t.size()) + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto make = [&](py::ssize_t rows) {
        py::array_t<double> a({rows, nc});
        std::fill(a.mutable_data(), a.mutable_data() + rows * nc, nan);
        return a;
    };
    py::dict res;
    auto z = make(N + 1), u = make(N + 1), sigv = make(N + 1), e = make(N + 1), k = make(N + 1);
    auto ue = make(N), sigve = make(N), ee = make(N), ke = make(N);
    py::array_t<double> settlement(nc);
    std::fill(settlement.mutable_data(), settlement.mutable_data() + nc, nan);
    eng::Output out;
    out.ncol = static_cast<int>(nc);
    out.z = z.mutable_data();
    out.u = u.mutable_data();
    out.sigv = sigv.mutable_data();
    out.e = e.mutable_data();
    out.k = k.mutable_data();
    out.ue = ue.mutable_data();
    out.sigve = sigve.mutable_data();
    out.ee = ee.mutable_data();
    out.ke = ke.mutable_data();
    out.settlement = settlement.mutable_data();

    eng::Options opt;
    opt.rtol = rtol;
    opt.max_substeps = max_substeps;
    opt.max_newton = max_newton;
    eng::Callbacks cb;
    // Both callbacks run Python code: they hold the GIL only while they do.  A
    // Python error stays set on this thread and ends the run as Interrupted.
    cb.poll = [] {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw eng::Interrupted{};
    };
    const double t_end = t.empty() ? 0.0 : t.back();
    if (!progress.is_none()) {
        cb.on_output = [&progress, t_end](int, double tj) {
            py::gil_scoped_acquire gil;
            try {
                progress(tj, t_end);
            } catch (py::error_already_set& err) {
                err.restore();
                throw eng::Interrupted{};
            }
        };
    }
    eng::Stats st;
    std::exception_ptr failure;
    bool failed = false;
    double t_failed = nan;
    std::string message;
    {
        py::gil_scoped_release release;
        try {
            eng::solve(col, t, lf, opt, out, cb, st);
        } catch (const eng::StepFailure& f) {
            failed = true;
            t_failed = f.time;
            message = f.what();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);

    res["z"] = z;
    res["u"] = u;
    res["sigv"] = sigv;
    res["e"] = e;
    res["k"] = k;
    res["u_element"] = ue;
    res["sigv_element"] = sigve;
    res["e_element"] = ee;
    res["k_element"] = ke;
    res["settlement"] = settlement;
    res["columns"] = st.columns;
    res["substeps"] = st.substeps;
    res["newton"] = st.newton;
    res["evaluations"] = st.evaluations;
    res["rejected"] = st.rejected;
    res["failed"] = failed;
    res["failure_time"] = t_failed;
    res["message"] = message;
    for (auto item : prepared(col)) res[item.first] = item.second;
    return res;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Run engine of pelorin: finite-strain consolidation with creep (C++ core).";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const eng::InputError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const eng::Interrupted&) {
            // The Python error (KeyboardInterrupt, or the callback's) is set.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "");
        }
    });
    m.def("prepare", &prepare, py::arg("depth"), py::arg("elements"), py::arg("qo"),
          py::arg("gammaw") = 9.81, py::arg("drainagetype") = 0, py::arg("check_history") = true,
          "Initial state of a column: solids height, stresses and void ratios (dict of arrays).");
    m.def("solve", &solve, py::arg("depth"), py::arg("elements"), py::arg("qo"), py::arg("time"),
          py::arg("loadfactor"), py::kw_only(), py::arg("gammaw") = 9.81, py::arg("drainagetype") = 0,
          py::arg("rtol") = 3e-4, py::arg("max_substeps") = 1000000, py::arg("max_newton") = 12,
          py::arg("progress") = py::none(), py::arg("node_dsigv") = py::none(),
          py::arg("node_ru") = py::none(), py::arg("check_history") = true,
          R"(Runs a column given element by element.

depth: N + 1 node depths (m, increasing).  elements: dict of N-entry arrays
Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv, ru,
ocrvoidratiotype, ocrvoidratio (element c lies between nodes c and c + 1).
Returns a dict of histories (node rows and element rows by Ntime + 1 columns),
the run statistics and the initial state; a run that cannot go on returns
what it reached with failed = True.)");
}
