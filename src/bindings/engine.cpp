// pybind11 binding of the run engine: per-element column description in,
// NumPy histories out.  The engine runs without the GIL; every ~50 ms it takes
// the GIL back briefly to let Python handle signals (Ctrl-C), and at every
// output time to call the progress callback.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
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

// The loading keywords, read into the engine's structures: a shape or type
// that does not fit is InputError naming the keyword and the entry (-1: the
// keyword as a whole), like the engine's own checks of the values.
[[noreturn]] void bad(const char* param, int index, const std::string& msg) {
    throw eng::InputError(param, index, msg);
}

std::string entry(const char* param, int index) {
    return index < 0 ? std::string(param) : std::string(param) + " entry " + std::to_string(index);
}

py::dict as_dict(const py::handle& h, const char* param, int index,
                 std::initializer_list<const char*> keys) {
    if (!py::isinstance<py::dict>(h)) bad(param, index, entry(param, index) + " must be a dict");
    py::dict d = py::reinterpret_borrow<py::dict>(h);
    for (auto item : d) {
        const std::string k = py::str(item.first);
        bool known = false;
        for (const char* key : keys) known |= k == key;
        if (!known) {
            std::string list;
            for (const char* key : keys) list += std::string(list.empty() ? "" : ", ") + key;
            bad(param, index, entry(param, index) + " has no key '" + k + "' (keys: " + list + ")");
        }
    }
    return d;
}

std::vector<double> values_of(const py::handle& h, const char* param, int index, const char* name,
                              py::ssize_t n) {
    Arr a;
    try {
        a = py::cast<Arr>(h);
    } catch (const py::cast_error&) {
        bad(param, index, std::string(name) + " of " + entry(param, index) + " must be numbers");
    }
    if (a.ndim() != 1 || (n >= 0 && a.shape(0) != n))
        bad(param, index,
            std::string(name) + " of " + entry(param, index) + " must be one-dimensional" +
                (n >= 0 ? " with " + std::to_string(n) + " entries" : std::string()));
    return std::vector<double>(a.data(), a.data() + a.shape(0));
}

double number_of(const py::handle& h, const char* param, int index, const char* name) {
    try {
        return py::cast<double>(h);
    } catch (const py::cast_error&) {
        bad(param, index, std::string(name) + " of " + entry(param, index) + " must be a number");
    }
}

bool given(const py::dict& d, const char* key) { return d.contains(key) && !d[key].is_none(); }

eng::PiecewiseLinear function_of(const py::dict& d, const char* tkey, const char* vkey,
                                 const char* param, int index) {
    if (!given(d, tkey) || !given(d, vkey))
        bad(param, index, entry(param, index) + " needs '" + tkey + "' and '" + vkey + "'");
    eng::PiecewiseLinear p;
    p.time = values_of(d[tkey], param, index, tkey, -1);
    p.value = values_of(d[vkey], param, index, vkey, static_cast<py::ssize_t>(p.time.size()));
    return p;
}

eng::Loading loading_of(py::ssize_t N, const py::object& loads, const py::object& fills,
                        const py::object& boundary) {
    eng::Loading ld;
    if (!loads.is_none()) {
        if (!py::isinstance<py::list>(loads) && !py::isinstance<py::tuple>(loads))
            bad("loads", -1, "loads must be a list of dicts");
        int i = 0;
        for (const auto& h : loads) {
            const py::dict d = as_dict(h, "loads", i, {"dsigv", "node_dsigv", "time", "value"});
            eng::LoadComponent L;
            if (!given(d, "dsigv")) bad("loads", i, entry("loads", i) + " needs 'dsigv'");
            L.dsigv = values_of(d["dsigv"], "loads", i, "dsigv", N);
            if (given(d, "node_dsigv"))
                L.node_dsigv = values_of(d["node_dsigv"], "loads", i, "node_dsigv", N + 1);
            L.f = function_of(d, "time", "value", "loads", i);
            ld.loads.push_back(std::move(L));
            ++i;
        }
    }
    if (!fills.is_none()) {
        if (!py::isinstance<py::list>(fills) && !py::isinstance<py::tuple>(fills))
            bad("fills", -1, "fills must be a list of dicts");
        int i = 0;
        for (const auto& h : fills) {
            const py::dict d = as_dict(h, "fills", i,
                                       {"time", "height", "unit_weight", "saturated_unit_weight",
                                        "water_level", "influence", "node_influence"});
            eng::Fill F;
            F.height = function_of(d, "time", "height", "fills", i);
            if (!given(d, "unit_weight")) bad("fills", i, entry("fills", i) + " needs 'unit_weight'");
            F.unit_weight = number_of(d["unit_weight"], "fills", i, "unit_weight");
            F.saturated_unit_weight =
                given(d, "saturated_unit_weight")
                    ? number_of(d["saturated_unit_weight"], "fills", i, "saturated_unit_weight")
                    : F.unit_weight;
            if (given(d, "water_level")) {
                const py::dict w = as_dict(d["water_level"], "fills", i, {"time", "value"});
                F.water_level = function_of(w, "time", "value", "fills", i);
            }
            if (given(d, "influence"))
                F.influence = values_of(d["influence"], "fills", i, "influence", N);
            if (given(d, "node_influence"))
                F.node_influence = values_of(d["node_influence"], "fills", i, "node_influence", N + 1);
            ld.fills.push_back(std::move(F));
            ++i;
        }
    }
    if (!boundary.is_none()) {
        const py::dict d = as_dict(boundary, "boundary", -1, {"top", "bottom"});
        if (given(d, "top"))
            ld.top = function_of(as_dict(d["top"], "boundary", -1, {"time", "value"}), "time",
                                 "value", "boundary", -1);
        if (given(d, "bottom"))
            ld.bottom = function_of(as_dict(d["bottom"], "boundary", -1, {"time", "value"}),
                                    "time", "value", "boundary", -1);
    }
    return ld;
}

void initial_boundary_of(eng::ColumnInput& in, const py::object& ib) {
    if (ib.is_none()) return;
    const py::dict d = as_dict(ib, "initial_boundary", -1, {"top", "bottom"});
    if (given(d, "top")) {
        in.initial_top_set = true;
        in.initial_top = number_of(d["top"], "initial_boundary", -1, "top");
    }
    if (given(d, "bottom")) {
        in.initial_bottom_set = true;
        in.initial_bottom = number_of(d["bottom"], "initial_boundary", -1, "bottom");
    }
}

eng::ColumnInput column_input(const Arr& depth, const py::dict& el, double qo, double gammaw,
                              int drainage, bool check_history, const py::object& node_dsigv,
                              const py::object& node_ru, const py::object& initial_boundary) {
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
    initial_boundary_of(in, initial_boundary);
    return in;
}

// The `drains` keyword: None, or {"eta": (N,), "kh_ratio": (N,), "start": t,
// "vacuum": None or {"time": (m,), "value": (m,)}} (value: the vacuum p, kPa;
// the drains' pore pressure is -p).  Shapes and kinds here, ranges in the engine;
// both as InputError naming "drains".
eng::Drains drains_input(const py::object& obj, py::ssize_t N) {
    eng::Drains d;
    if (obj.is_none()) return d;
    auto refuse = [](const std::string& msg) { throw eng::InputError("drains", -1, "drains: " + msg); };
    if (!py::isinstance<py::dict>(obj)) refuse("must be None or a dict of eta, kh_ratio, start, vacuum");
    const py::dict dd = obj.cast<py::dict>();
    for (auto item : dd) {
        const std::string key = py::str(item.first);
        if (key != "eta" && key != "kh_ratio" && key != "start" && key != "vacuum")
            refuse("unknown key '" + key + "' (eta, kh_ratio, start, vacuum)");
    }
    auto array = [&](const py::dict& from, const char* name, py::ssize_t n) {
        if (!from.contains(name)) refuse(std::string("needs '") + name + "'");
        Arr a;
        try {
            a = from[name].cast<Arr>();
        } catch (const py::cast_error&) {
            refuse(std::string(name) + " must be an array of numbers");
        }
        if (a.ndim() != 1 || (n >= 0 && a.shape(0) != n))
            refuse(std::string(name) + " must be one-dimensional" +
                   (n >= 0 ? " with " + std::to_string(n) + " entries" : std::string()));
        return std::vector<double>(a.data(), a.data() + a.shape(0));
    };
    d.eta = array(dd, "eta", N);
    d.kh_ratio = array(dd, "kh_ratio", N);
    if (dd.contains("start")) {
        try {
            d.start = dd["start"].cast<double>();
        } catch (const py::cast_error&) {
            refuse("start must be a number (days)");
        }
    }
    if (dd.contains("vacuum") && !dd["vacuum"].is_none()) {
        if (!py::isinstance<py::dict>(dd["vacuum"])) refuse("vacuum must be None or a dict of time, value");
        const py::dict v = dd["vacuum"].cast<py::dict>();
        d.drain_u.time = array(v, "time", -1);
        d.drain_u.value = array(v, "value", static_cast<py::ssize_t>(d.drain_u.time.size()));
        if (d.drain_u.time.empty()) refuse("vacuum needs at least one corner");
        // The package gives the vacuum p >= 0; the engine holds u_d = -p.
        for (double& x : d.drain_u.value) x = -x;
    }
    return d;
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
    d["u_seepage"] = to_array(col.useep);
    d["u_seepage_node"] = to_array(col.node_useep);
    return d;
}

py::dict prepare(const Arr& depth, const py::dict& el, double qo, double gammaw, int drainage,
                 bool check_history, const py::object& initial_boundary) {
    const auto in = column_input(depth, el, qo, gammaw, drainage, check_history, py::none(),
                                 py::none(), initial_boundary);
    return prepared(eng::prepare(in));
}

// One run: its input and output arrays (made with the GIL), its engine run
// (without it), and its outcome.
struct Job {
    eng::ColumnInput in;
    std::vector<double> t, lf;
    eng::Loading loading;
    eng::Options opt;
    py::array_t<double> z, u, sigv, e, k, ue, sigve, ee, ke, settlement;
    py::array_t<double> load, fill_load, boundary_top, boundary_bottom;
    std::vector<std::string> kept;  // the histories wanted, in the order of kHistories
    eng::Output out;
    eng::Column col;
    eng::Stats st;
    bool failed = false;           // the run stopped: what it reached is kept
    double t_failed = std::numeric_limits<double>::quiet_NaN();
    std::string message;
    int failure_element = -1;      // what held the last step back
    std::string failure_quantity;
    bool input_error = false;      // impossible input found by the engine
    std::string parameter;         // ... the keyword it names
    int index = -1;                // ... and the element or node (-1: none)
};

// The histories a run can keep, by their names in the result.
const char* const kHistories[] = {"z", "u", "sigv", "e", "k", "u_element", "sigv_element",
                                  "e_element", "k_element", "settlement", "load", "fill_load",
                                  "boundary_top", "boundary_bottom"};

// The names of `keep` (None: every history), checked.
std::vector<std::string> kept_names(const py::object& keep) {
    std::vector<std::string> names;
    if (keep.is_none()) {
        for (const char* h : kHistories) names.emplace_back(h);
        return names;
    }
    if (py::isinstance<py::str>(keep))
        throw eng::InputError("keep", -1, "keep must be a sequence of names, not one string");
    std::vector<std::string> asked;
    for (const auto& item : keep) {
        if (!py::isinstance<py::str>(item))
            throw eng::InputError("keep", -1, "keep holds names of histories (strings)");
        asked.push_back(item.cast<std::string>());
    }
    for (const auto& a : asked) {
        bool known = false;
        for (const char* h : kHistories) known |= a == h;
        if (!known) {
            std::string all;
            for (const char* h : kHistories) all += std::string(all.empty() ? "" : ", ") + h;
            throw eng::InputError("keep", -1, "keep: unknown history '" + a + "' (one of " + all + ")");
        }
    }
    for (const char* h : kHistories)
        if (std::find(asked.begin(), asked.end(), h) != asked.end()) names.emplace_back(h);
    return names;
}

void make_job(Job& job, const Arr& depth, const py::dict& el, double qo, const Arr& time,
              const Arr& loadfactor, double gammaw, int drainage, double rtol, long max_substeps,
              int max_newton, const py::object& node_dsigv, const py::object& node_ru,
              bool check_history, const py::object& loads, const py::object& boundary,
              const py::object& fills, const py::object& initial_boundary,
              const py::object& drains, const py::object& keep) {
    job.in = column_input(depth, el, qo, gammaw, drainage, check_history, node_dsigv, node_ru,
                          initial_boundary);
    job.in.drains = drains_input(drains, static_cast<py::ssize_t>(job.in.depth.size()) - 1);
    job.t = vec(time, "time", -1);
    job.lf = vec(loadfactor, "loadfactor", static_cast<py::ssize_t>(job.t.size()));
    const py::ssize_t N = static_cast<py::ssize_t>(job.in.depth.size()) - 1;
    const py::ssize_t nc = static_cast<py::ssize_t>(job.t.size()) + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    job.kept = kept_names(keep);
    job.loading = loading_of(N, loads, fills, boundary);
    const auto nf = static_cast<py::ssize_t>(job.loading.fills.size());
    // Only the histories kept are made (and computed), time-major: the
    // engine writes a column at a time; the result shows (rows, columns).
    eng::Output& out = job.out;
    out.ncol = static_cast<int>(nc);
    struct Slot {
        const char* name;
        py::array_t<double>* arr;
        double** ptr;
        py::ssize_t rows;  // 0: one value per column
    };
    const Slot slots[] = {
        {"z", &job.z, &out.z, N + 1}, {"u", &job.u, &out.u, N + 1},
        {"sigv", &job.sigv, &out.sigv, N + 1}, {"e", &job.e, &out.e, N + 1},
        {"k", &job.k, &out.k, N + 1}, {"u_element", &job.ue, &out.ue, N},
        {"sigv_element", &job.sigve, &out.sigve, N}, {"e_element", &job.ee, &out.ee, N},
        {"k_element", &job.ke, &out.ke, N}, {"settlement", &job.settlement, &out.settlement, 0},
        {"load", &job.load, &out.load, 0}, {"fill_load", &job.fill_load, &out.fill_load, nf},
        {"boundary_top", &job.boundary_top, &out.boundary_top, 0},
        {"boundary_bottom", &job.boundary_bottom, &out.boundary_bottom, 0},
    };
    for (const Slot& sl : slots) {
        if (std::find(job.kept.begin(), job.kept.end(), sl.name) == job.kept.end()) continue;
        const bool rows = sl.rows > 0 || std::string(sl.name) == "fill_load";
        *sl.arr = rows ? py::array_t<double>({nc, sl.rows}) : py::array_t<double>(nc);
        std::fill(sl.arr->mutable_data(), sl.arr->mutable_data() + sl.arr->size(), nan);
        *sl.ptr = sl.arr->mutable_data();
    }
    job.opt.rtol = rtol;
    job.opt.max_substeps = max_substeps;
    job.opt.max_newton = max_newton;
}

// Without the GIL.  A run that stops is recorded in the job; impossible input
// throws InputError, Ctrl-C Interrupted.
void run_job(Job& job, const eng::Callbacks& cb) {
    job.col = eng::prepare(job.in);
    try {
        eng::solve(job.col, job.t, job.lf, job.loading, job.opt, job.out, cb, job.st);
    } catch (const eng::StepFailure& f) {
        job.failed = true;
        job.t_failed = f.time;
        job.message = f.what();
        job.failure_element = f.element;
        job.failure_quantity = f.quantity;
    }
}

py::dict job_result(const Job& job) {
    py::dict res;
    if (job.input_error) {
        res["input_error"] = job.message;
        res["parameter"] = job.parameter;
        res["index"] = job.index < 0 ? py::object(py::none()) : py::object(py::int_(job.index));
        return res;
    }
    const std::pair<const char*, const py::array_t<double>*> hist[] = {
        {"z", &job.z}, {"u", &job.u}, {"sigv", &job.sigv}, {"e", &job.e}, {"k", &job.k},
        {"u_element", &job.ue}, {"sigv_element", &job.sigve}, {"e_element", &job.ee},
        {"k_element", &job.ke}, {"settlement", &job.settlement}, {"load", &job.load},
        {"fill_load", &job.fill_load}, {"boundary_top", &job.boundary_top},
        {"boundary_bottom", &job.boundary_bottom}};
    for (const auto& [name, arr] : hist) {
        if (std::find(job.kept.begin(), job.kept.end(), name) == job.kept.end()) continue;
        res[name] = arr->ndim() == 2 ? arr->attr("T") : py::object(*arr);  // (rows, columns)
    }
    res["columns"] = job.st.columns;
    res["substeps"] = job.st.substeps;
    res["newton"] = job.st.newton;
    res["evaluations"] = job.st.evaluations;
    res["rejected"] = job.st.rejected;
    res["probes"] = job.st.probes;
    res["failed"] = job.failed;
    res["failure_time"] = job.t_failed;
    res["message"] = job.message;
    res["failure_element"] = job.failure_element;
    res["failure_quantity"] = job.failure_quantity;
    for (auto item : prepared(job.col)) res[item.first] = item.second;
    return res;
}

// The keywords' defaults: of prepare and solve, of each run of solve_many, and
// (as DEFAULTS) of the package's run functions.
namespace defaults {
constexpr double gammaw = 9.81, rtol = 3e-4;
constexpr int drainagetype = 0, max_newton = 12;
constexpr long max_substeps = 1000000;
constexpr bool check_history = true;
}  // namespace defaults

// Takes the GIL back every ~50 ms of a run so that Python can handle signals.
// Python handles them on its main thread only: a run on another thread (many
// runs on the threads of a Dask worker) does not queue for the GIL to check.
bool on_main_thread() {
    const auto threading = py::module_::import("threading");
    return threading.attr("main_thread")().is(threading.attr("current_thread")());
}

eng::Callbacks polling() {
    eng::Callbacks cb;
    if (!on_main_thread()) return cb;
    cb.poll = [] {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw eng::Interrupted{};
    };
    return cb;
}

py::dict solve(const Arr& depth, const py::dict& el, double qo, const Arr& time, const Arr& loadfactor,
               double gammaw, int drainage, double rtol, long max_substeps, int max_newton,
               const py::object& progress, const py::object& node_dsigv, const py::object& node_ru,
               bool check_history, const py::object& loads, const py::object& boundary,
               const py::object& fills, const py::object& initial_boundary,
               const py::object& drains, const py::object& keep) {
    Job job;
    make_job(job, depth, el, qo, time, loadfactor, gammaw, drainage, rtol, max_substeps,
             max_newton, node_dsigv, node_ru, check_history, loads, boundary, fills,
             initial_boundary, drains, keep);
    // Both callbacks run Python code: they hold the GIL only while they do.  A
    // Python error stays set on this thread and ends the run as Interrupted.
    eng::Callbacks cb = polling();
    const double t_end = job.t.empty() ? 0.0 : job.t.back();
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
    std::exception_ptr failure;
    {
        py::gil_scoped_release release;
        try {
            run_job(job, cb);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        try {
            std::rethrow_exception(failure);
        } catch (const eng::Interrupted&) {
            // Ctrl-C, or the progress callback's error: what the run reached goes
            // with the Python error, as `partial_run` (the dict of a run that stops).
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "");
            py::error_already_set err;
            job.failed = true;
            job.message = "interrupted";
            err.value().attr("partial_run") = job_result(job);
            throw err;
        }
    }
    return job_result(job);
}

// Many runs in one call, all of them without the GIL: a batch of runs takes and
// releases the GIL twice instead of twice per run, so that runs on several
// threads of one process do not queue for it between runs.  Every run is the
// same as by `solve`; impossible input of one run is reported in its own
// result and the others go on.
py::list solve_many(const py::list& runs) {
    std::vector<Job> jobs(runs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const py::dict kw = runs[i].cast<py::dict>();
        auto opt = [&](const char* name, py::object fallback) {
            return kw.contains(name) ? py::reinterpret_borrow<py::object>(kw[name]) : fallback;
        };
        // Loading that does not fit is this run's input error (the others go on).
        try {
            make_job(jobs[i], kw["depth"].cast<Arr>(), kw["elements"].cast<py::dict>(),
                     kw["qo"].cast<double>(), kw["time"].cast<Arr>(), kw["loadfactor"].cast<Arr>(),
                     opt("gammaw", py::float_(defaults::gammaw)).cast<double>(),
                     opt("drainagetype", py::int_(defaults::drainagetype)).cast<int>(),
                     opt("rtol", py::float_(defaults::rtol)).cast<double>(),
                     opt("max_substeps", py::int_(defaults::max_substeps)).cast<long>(),
                     opt("max_newton", py::int_(defaults::max_newton)).cast<int>(),
                     opt("node_dsigv", py::none()), opt("node_ru", py::none()),
                     opt("check_history", py::bool_(defaults::check_history)).cast<bool>(),
                     opt("loads", py::none()), opt("boundary", py::none()),
                     opt("fills", py::none()), opt("initial_boundary", py::none()),
                     opt("drains", py::none()), opt("keep", py::none()));
        } catch (const eng::InputError& e) {
            jobs[i].input_error = true;
            jobs[i].message = e.what();
            jobs[i].parameter = e.param;
            jobs[i].index = e.index;
        }
    }
    const eng::Callbacks cb = polling();
    std::exception_ptr failure;
    {
        py::gil_scoped_release release;
        for (Job& job : jobs) {
            if (job.input_error) continue;
            try {
                run_job(job, cb);
            } catch (const eng::InputError& e) {
                job.input_error = true;
                job.message = e.what();
                job.parameter = e.param;
                job.index = e.index;
            } catch (...) {
                failure = std::current_exception();
                break;
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
    py::list results;
    for (const Job& job : jobs) results.append(job_result(job));
    return results;
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Run engine of pelorin: finite-strain consolidation with creep (C++ core).";
    // Impossible input: a ValueError that keeps the keyword and the element
    // (or node) the engine names, so that callers can say where it lies.
    static PyObject* const input_error =
        PyErr_NewExceptionWithDoc("pelorin._engine.InputError",
                                  "Input the engine refuses: .parameter names the keyword, "
                                  ".index the element or node (None: the whole column).",
                                  PyExc_ValueError, nullptr);
    if (input_error == nullptr) throw py::error_already_set();
    m.add_object("InputError", py::handle(input_error));
    py::dict defaults_dict;
    defaults_dict["gammaw"] = defaults::gammaw;
    defaults_dict["drainagetype"] = defaults::drainagetype;
    defaults_dict["rtol"] = defaults::rtol;
    defaults_dict["max_substeps"] = defaults::max_substeps;
    defaults_dict["max_newton"] = defaults::max_newton;
    defaults_dict["check_history"] = defaults::check_history;
    m.attr("DEFAULTS") = defaults_dict;
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const eng::InputError& e) {
            py::object err = py::reinterpret_borrow<py::object>(input_error)(e.what());
            err.attr("parameter") = e.param;
            err.attr("index") = e.index < 0 ? py::object(py::none()) : py::object(py::int_(e.index));
            PyErr_SetObject(input_error, err.ptr());
        } catch (const eng::Interrupted&) {
            // The Python error (KeyboardInterrupt, or the callback's) is set.
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyboardInterrupt, "");
        }
    });
    m.def("prepare", &prepare, py::arg("depth"), py::arg("elements"), py::arg("qo"),
          py::arg("gammaw") = defaults::gammaw, py::arg("drainagetype") = defaults::drainagetype,
          py::arg("check_history") = defaults::check_history,
          py::arg("initial_boundary") = py::none(),
          R"(Initial state of a column: solids height, stresses and void ratios (dict of arrays).

initial_boundary: {"top": u, "bottom": u} (either optional), excess pore
pressures (kPa, relative to hydrostatic with the water at the top) held at the
drained ends at t = 0; the initial state is the steady seepage between them
(u_seepage, u_seepage_node), sigma0 the effective stress with it.)");
    m.def("solve_many", &solve_many, py::arg("runs"),
          R"(Runs many columns, one after the other, without the GIL in between.

runs: a list of dicts of the keywords of `solve` (without progress).  Returns
one dict per run, as `solve` does, or {"input_error": message, "parameter": name,
"index": element} for a run whose input the engine refuses (`solve` raises
InputError for it).)");
    m.def("solve", &solve, py::arg("depth"), py::arg("elements"), py::arg("qo"), py::arg("time"),
          py::arg("loadfactor"), py::kw_only(), py::arg("gammaw") = defaults::gammaw,
          py::arg("drainagetype") = defaults::drainagetype, py::arg("rtol") = defaults::rtol,
          py::arg("max_substeps") = defaults::max_substeps,
          py::arg("max_newton") = defaults::max_newton, py::arg("progress") = py::none(),
          py::arg("node_dsigv") = py::none(), py::arg("node_ru") = py::none(),
          py::arg("check_history") = defaults::check_history, py::arg("loads") = py::none(),
          py::arg("boundary") = py::none(), py::arg("fills") = py::none(),
          py::arg("initial_boundary") = py::none(),
          py::arg("drains") = py::none(), py::arg("keep") = py::none(),
          R"(Runs a column given element by element.

depth: N + 1 node depths (m, increasing).  elements: dict of N-entry arrays
Cc, Cr, sigvref, esigvref, Gs, kref, ekref, Ck, Ca, tref, dsigv, ru,
ocrvoidratiotype, ocrvoidratio (element c lies between nodes c and c + 1).
Returns a dict of histories (node rows and element rows by Ntime + 1 columns),
the run statistics and the initial state; a run that cannot go on returns
what it reached with failed = True.

Loading besides dsigv * loadfactor, each with a piecewise-linear function of
time {"time": corners (non-decreasing, >= 0; a time given twice is a jump),
"value": ...}, constant before the first corner and after the last:
  loads: [{"dsigv": (N,), "node_dsigv": (N + 1,) optional, "time", "value"}]:
      a total-stress change dsigv * f(t), kPa;
  fills: [{"time", "height": m placed, "unit_weight", "saturated_unit_weight"
      (default unit_weight), "water_level": {"time", "value"} m above the top
      (None: the fill stays dry), "influence": (N,) and "node_influence":
      (N + 1,) optional (default 1)}]: the load I q, q = g H - (g - gs +
      gammaw) clamp(hw + s, 0, H), s the settlement of the top, solved with it;
  boundary: {"top": f, "bottom": f}: the change of pore pressure (kPa) at a
      drained end;
  initial_boundary: as for prepare.
u is relative to hydrostatic with the water at the top (the seepage
included).  The dict also holds load (the total-stress change at the top,
kPa), fill_load (nfills, Ntime + 1) and boundary_top, boundary_bottom (the
pore pressure held at a drained end, NaN at a sealed one).
drains: None, or {"eta": (N,) 1/m^2, "kh_ratio": (N,), "start": days,
"vacuum": None or {"time", "value": the vacuum p >= 0, kPa}}: the radial
outflow (1 + e) (kh_ratio k(e)/gammaw) eta (u - u_b + p(t)) of every element
into vertical drains from `start` on, u_b the pore pressure held at the
drained end they discharge into (the top; the base when only it drains).
keep: the names of the histories wanted (None: all); the others are neither
computed nor returned.)");
}
