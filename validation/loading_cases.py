"""Loads placed over time, heads at the drained ends and submerging fills: runs of
`pelorin.simulate` (and, for a head at the top, of the engine through a plan) against
the closed forms of validation/reference.py.  Each function returns its errors by
quantity.

- Olson (1977): a load raised at a constant rate to the construction time factor Tc.
- A head changed at both drained ends by dh: the effective stress changes by gammaw dh
  at once at every depth but the ends, as under a load of -gammaw dh (both are one
  shift of the pore pressure against the total stress), so the excess pore pressures
  and the settlements of the two runs are the same.
- A head changed at the base only (Carslaw & Jaeger 1959, sec. 3.3): the series about
  the linear final pore pressure; the final effective stress is the initial one less
  that final pressure.
- Steady seepage through layers: Darcy's flux the same in every layer, the pressure
  falling through each in proportion to H_i/k_i.
- Submergence: with the water at the top of the profile, a fill of nominal load q that
  settles s has s of it below the water, losing gammaw + g - gs per metre: the final
  settlement is the root of s = S(q - (gammaw + g - gs) s), S the settlement of the
  compression law with self-weight (`reference.self_weight_final_settlement`).
"""
import math

import numpy as np

import reference as ref

GAMMAW = ref.GAMMAW
DAY = 86400.0


def _pelorin():
    import pelorin
    return pelorin


# Terzaghi's conditions as a Profile: a 0.1 % increment on a normally consolidated clay
# with k constant (Ck = 100: k changes by 2e-6 over the step), no creep and practically
# no self-weight (Gs = 1 + 1e-6 adds 5e-6 kPa over the metre).
LINEAR = dict(qo=100.0, dq=0.1, e0=1.0, Cc=0.2, H=1.0, k0=1e-3, N=40)


def linear_profile(drainage="both", N=LINEAR["N"]):
    p = _pelorin()
    qo, e0, Cc, H, k0 = (LINEAR[k] for k in ("qo", "e0", "Cc", "H", "k0"))
    soil = p.Soil(Cc=Cc, Cr=Cc / 10, esigvref=e0, sigvref=qo, kref=k0 / DAY, Ck=100.0,
                  Gs=1.000001)
    return p.Profile([p.Layer(soil, H, ocr=1.0, elements=N)], surcharge=qo, drainage=drainage)


def linear_cv(dq=LINEAR["dq"]):
    qo, e0, Cc, k0 = (LINEAR[k] for k in ("qo", "e0", "Cc", "k0"))
    return ref.consolidation_coefficient(k0, e0, ref.secant_compressibility(Cc, qo, qo + dq))


def linear_final(dq=LINEAR["dq"]):
    qo, e0, Cc, H = (LINEAR[k] for k in ("qo", "e0", "Cc", "H"))
    return H / (1 + e0) * Cc * math.log10((qo + dq) / qo)


def olson_errors(Tc):
    """Average degree under a ramp to Tc (drained both ends), against Olson's."""
    p = _pelorin()
    Hd = LINEAR["H"] / 2
    scale = Hd ** 2 / linear_cv()
    Tv = np.union1d(ref_time_factors(0.02, 2.0 + Tc), [Tc])
    r = p.simulate(linear_profile(), p.Loading([p.Stage(0.0, load=LINEAR["dq"],
                                                        duration=Tc * scale)]),
                   times=Tv * scale, background=False)
    t = r.time.values[1:]
    degree = r.settlement.values[1:] / linear_final()
    expected = ref.olson_degree(t / scale, Tc)
    # From pore pressure, what is not placed yet counting as not drained: in the linear
    # theory the mean effective stress gained, so the same degree.
    pore = r.U_pore.values[1:]
    return {"average degree": float(np.max(np.abs(degree - expected))),
            "degree from pore pressure": float(np.max(np.abs(pore - expected)))}


def ref_time_factors(lo, hi, per_decade=10):
    return np.logspace(math.log10(lo), math.log10(hi),
                       int(round(per_decade * math.log10(hi / lo))) + 1)


def both_ends_errors():
    """A head drop at both drained ends against the load gammaw dh at once: the same
    soil as the submergence case (self-weight, finite strain), 2 m of head."""
    p = _pelorin()
    from pelorin._call import solve
    from pelorin._simulate import plan
    drop = 2.0 * GAMMAW
    profile = submerging_profile()
    loading = p.Loading([p.Stage(0.0, load=drop)], end=SUB["end"])
    pl = plan(profile, loading, None, 10, {})
    loaded = solve(pl.job)
    step = {"time": np.array([0.0, 0.0]), "value": np.array([0.0, -drop])}
    heads = solve(pl.job.replace(loadfactor=np.zeros_like(pl.job.loadfactor),
                                 boundary={"top": step, "bottom": step}))
    cols = int(loaded["columns"])
    u_load = loaded["u"][:, 1:cols]
    u_head = heads["u"][:, 1:cols] + drop        # the excess over the new steady state
    s_load, s_head = loaded["settlement"][1:cols], heads["settlement"][1:cols]
    return {"pore pressure / load": float(np.max(np.abs(u_head - u_load)) / drop),
            "settlement / final settlement": float(np.max(np.abs(s_head - s_load))
                                                   / abs(s_load[-1]))}


BASE = dict(drop=0.01, Tv_lo=0.005, Tv_hi=5.0)   # m of head; Tv on the whole thickness


def base_head_errors():
    """A head drop at the base only of the linear layer (drained both ends) against the
    series; the final effective stress against the initial one plus the steady drop."""
    p = _pelorin()
    H = LINEAR["H"]
    drop = BASE["drop"] * GAMMAW
    scale = H ** 2 / linear_cv(drop / 2)
    Tv = ref_time_factors(BASE["Tv_lo"], BASE["Tv_hi"])
    r = p.simulate(linear_profile(), p.Loading([p.Stage(0.0, base_head=-BASE["drop"])]),
                   times=Tv * scale, background=False)
    ds = r.dataset
    u = (ds["u"] + ds["u_seepage"]).values[:, 1:]        # above hydrostatic
    x = ds["depth"].values
    t = ds["time"].values[1:] / scale
    expected = ref.base_head_pressure(x[:, None], t[None, :], H, drop)
    xc = 0.5 * (ds["z"].values[:-1, -1] + ds["z"].values[1:, -1])
    zb = ds["z"].values[-1, -1] - ds["z"].values[0, -1]
    final = ds["sigv_element"].values[:, 0] + drop * (xc - ds["z"].values[0, -1]) / zb
    sig = ds["sigv_element"].values[:, -1]
    return {"pore pressure / head drop": float(np.max(np.abs(u - expected)) / drop),
            "final effective stress, relative": float(np.max(np.abs(sig / final - 1)))}


# Three layers of uniform void ratio (k constant in each) under an artesian head at the
# base: 4 m of k 1e-9, 3 m of 1e-10 and 5 m of 2e-9 m/s.
SEEP = dict(thickness=(4.0, 3.0, 5.0), k=(1e-9, 1e-10, 2e-9), e0=(1.6, 1.2, 0.9),
            head=3.0, surcharge=20.0)


def seepage_errors():
    """The initial steady seepage through three layers and the state at the end of a
    run that changes nothing: the pore pressure above hydrostatic against the
    piecewise-linear closed form."""
    p = _pelorin()
    layers = [p.Layer(p.Soil(Cc=0.5, Cr=0.05, esigvref=e + 0.4, kref=k, Ck=0.5, name=f"s{i}"),
                      h, e0=e, elements=10)
              for i, (h, k, e) in enumerate(zip(SEEP["thickness"], SEEP["k"], SEEP["e0"]))]
    profile = p.Profile(layers, surcharge=SEEP["surcharge"], base_head=SEEP["head"])
    r = p.simulate(profile, p.Loading([p.Stage(0.0, load=0.0)], end=1000.0),
                   background=False)
    ds = r.dataset
    u = (ds["u"] + ds["u_seepage"]).values
    bottom = SEEP["head"] * GAMMAW
    errors = []
    for j in (0, -1):
        expected = ref.layered_seepage(ds["z"].values[:, j], SEEP["thickness"], SEEP["k"],
                                       0.0, bottom)
        errors.append(np.max(np.abs(u[:, j] - expected)) / bottom)
    return {"pore pressure / base pressure": float(max(errors))}


# The self-weight case's soil (10 m, Gs 2.7, Cc 0.9, e 2.0 at 10 kPa, NC) under 4.5 m of
# fill of 20 kN/m3 placed at the water's level (90 kPa nominal).
SUB = dict(qo=10.0, Cc=0.9, e0=2.0, Gs=2.7, H=10.0, N=40, Ck=0.5, k0=1e-3, fill=4.5,
           g=20.0, gs=20.0, end=2.0e5)


def submerging_profile():
    p = _pelorin()
    soil = p.Soil(Cc=SUB["Cc"], Cr=SUB["Cc"] / 10, esigvref=SUB["e0"], sigvref=SUB["qo"],
                  kref=SUB["k0"] / DAY, Ck=SUB["Ck"], Gs=SUB["Gs"])
    return p.Profile([p.Layer(soil, SUB["H"], ocr=1.0, elements=SUB["N"])],
                     surcharge=SUB["qo"])


def submergence_errors():
    """The final settlement of a submerging fill against the root of s = S(q - loss s);
    the fill without submergence against its load in kPa."""
    p = _pelorin()
    q = SUB["fill"] * SUB["g"]
    profile = submerging_profile()

    def final(stage):
        r = p.simulate(profile, p.Loading([stage], end=SUB["end"]), background=False)
        return float(r.settlement[-1])

    def settlement(load):
        return ref.self_weight_final_settlement(SUB["H"], SUB["qo"], load, SUB["Cc"],
                                                SUB["e0"], SUB["qo"], SUB["Gs"])[0]

    expected = ref.submerged_settlement(settlement, q, GAMMAW + SUB["g"] - SUB["gs"])
    s = final(p.Stage(0.0, fill=SUB["fill"], unit_weight=SUB["g"],
                      saturated_unit_weight=SUB["gs"]))
    dry = final(p.Stage(0.0, fill=SUB["fill"], unit_weight=SUB["g"], submerged=False))
    load = final(p.Stage(0.0, load=q))
    return {"final settlement, relative": abs(s / expected - 1),
            "submergence off against the load in kPa": abs(dry - load) / load}
