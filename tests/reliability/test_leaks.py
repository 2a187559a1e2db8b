"""Every entry point, succeeding and failing, thousands of times over: resident memory, the number
of objects the collector tracks and the reference counts of the argument objects stay flat.

Arguments are large on purpose (long index lists, many matrix rows, 2^12-amplitude registers), so
that a converted list or a result the call forgot to free adds kilobytes per call and shows in
resident memory well above allocator noise."""

import pytest

from support import GROWTH_MEASURE, run_workload, under_address_sanitizer

CALLS_PER_CASE = 10000

WORKLOAD = GROWTH_MEASURE + """

devnull = os.open(os.devnull, os.O_WRONLY)
os.dup2(devnull, 2)  # thousands of failure notices and tracebacks

PanicException = panic_exception_type()


class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")

class PanickingIndex:
    def __index__(self):
        raise PanicException("from a callback")

class RaisingReal:
    @property
    def real(self):
        raise KeyError("real")
    imag = 0.0

class StrReal:
    real = "one"
    imag = 0.0

class Reentrant:
    # Iterating it calls back into the register being called, which refuses.
    def __init__(self, register, items):
        self.register, self.items = register, items
    def __len__(self):
        return len(self.items)
    def __getitem__(self, index):
        return self.items[index]
    def __iter__(self):
        try:
            self.register.probabilities()
        except RuntimeError:
            pass
        return iter(self.items)

class LyingLength(list):
    def __len__(self):
        raise OverflowError("length")

x = korvel.QGate([[0, 1], [1, 0]])
register = korvel.Register(12)
register.apply_gate(H, range(12), [])
long_targets = [0, 1, 2, 3] * 256
long_controls = list(range(12, 1036))           # never set: the pass changes nothing
long_bad_targets = [0] * 1023 + [40]
many_rows = [[1, 0]] * 1000
wide_row = [[1] * 1000, [0, 1]]
identity_rows = [[1, 0], [0, 1]]
hth = [[complex(0.8535533905932736, 0.3535533905932737), complex(0.14644660940672616, -0.3535533905932737)],
       [complex(0.14644660940672616, -0.3535533905932737), complex(0.8535533905932736, 0.3535533905932737)]]
tiny = korvel.Register(1)   # 1000 targets of one pair each: the conversion dominates
reentrant = Reentrant(tiny, [0] * 1000)
lying = LyingLength([0] * 1000)
float_targets = [0] * 999 + [1.5]
raising_targets = [0] * 999 + [RaisingIndex()]
panicking_targets = [0] * 999 + [PanickingIndex()]
raising_matrix = [[1, 0], [0, RaisingReal()]]
str_matrix = [[1, 0], [0, StrReal()]]
none_matrix = [[1, 0], [0, None]]

cases = {
    # constructors
    "QGate ok": (lambda: korvel.QGate(identity_rows), [identity_rows]),
    "QGate not unitary (diagnostic block)": (lambda: korvel.QGate(hth), [hth]),
    "QGate 1000 rows": (lambda: korvel.QGate(many_rows), [many_rows]),
    "QGate 1000-entry row": (lambda: korvel.QGate(wide_row), [wide_row]),
    "QGate str": (lambda: korvel.QGate("ab"), []),
    "QGate element raises": (lambda: korvel.QGate(raising_matrix), [raising_matrix]),
    "QGate element real is str": (lambda: korvel.QGate(str_matrix), [str_matrix]),
    "QGate element None": (lambda: korvel.QGate(none_matrix), [none_matrix]),
    "QGate keyword errors": (lambda: korvel.QGate(identity_rows, matrix=identity_rows), [identity_rows]),
    "Register ok": (lambda: korvel.Register(14), []),
    "Register 30": (lambda: korvel.Register(30), []),
    "Register -1": (lambda: korvel.Register(-1), []),
    "Register 2**32": (lambda: korvel.Register(2 ** 32), []),
    "Register float": (lambda: korvel.Register(3.0), []),
    # apply_gate
    "apply_gate ok, long lists": (lambda: register.apply_gate(x, long_targets, long_controls),
                                  [x, long_targets, long_controls]),
    "apply_gate target out of range": (lambda: korvel.Register(3).apply_gate(x, long_bad_targets, []),
                                       [x, long_bad_targets]),
    "apply_gate float index": (lambda: register.apply_gate(x, float_targets, []), [x, float_targets]),
    "apply_gate raising index": (lambda: register.apply_gate(x, raising_targets, []), [x, raising_targets]),
    "apply_gate panicking index": (lambda: register.apply_gate(x, panicking_targets, []),
                                   [x, panicking_targets]),
    "apply_gate reentrant targets": (lambda: tiny.apply_gate(x, reentrant, []), [x, reentrant, tiny]),
    "apply_gate length raises": (lambda: tiny.apply_gate(x, lying, []), [x, lying, tiny]),
    "apply_gate not a gate": (lambda: register.apply_gate(register, long_targets, []),
                              [register, long_targets]),
    "apply_gate missing arguments": (lambda: register.apply_gate(x), [x]),
    "apply_gate unknown keyword": (lambda: register.apply_gate(x, [0], [], bogus=1), [x]),
    # probabilities, measure, measure_all
    "probabilities ok": (lambda: register.probabilities(), [register]),
    "probabilities with an argument": (lambda: register.probabilities(1), [register]),
    "measure ok": (lambda: korvel.Register(12).measure(5), []),
    "measure out of range": (lambda: register.measure(12), [register]),
    "measure 2**64": (lambda: register.measure(2 ** 64), [register]),
    "measure raising index": (lambda: register.measure(RaisingIndex()), [register]),
    "measure_all ok": (lambda: register.measure_all(), [register]),
    "measure_all with an argument": (lambda: register.measure_all(None), [register]),
    "method on another receiver": (lambda: korvel.Register.measure_all(x), [x]),
}

measure_growth(cases, int(sys.argv[1]), settle=200)
"""


@pytest.fixture(scope="module")
def growth():
    document, _ = run_workload(WORKLOAD, args=[CALLS_PER_CASE], timeout=600)
    return document


CASES = [
    "QGate ok", "QGate not unitary (diagnostic block)", "QGate 1000 rows", "QGate 1000-entry row",
    "QGate str", "QGate element raises", "QGate element real is str", "QGate element None",
    "QGate keyword errors", "Register ok", "Register 30", "Register -1", "Register 2**32",
    "Register float", "apply_gate ok, long lists", "apply_gate target out of range",
    "apply_gate float index", "apply_gate raising index", "apply_gate panicking index",
    "apply_gate reentrant targets", "apply_gate length raises", "apply_gate not a gate",
    "apply_gate missing arguments", "apply_gate unknown keyword", "probabilities ok",
    "probabilities with an argument", "measure ok", "measure out of range", "measure 2**64",
    "measure raising index", "measure_all ok", "measure_all with an argument",
    "method on another receiver",
]


@pytest.mark.parametrize("case", CASES)
def test_entry_point_leaves_nothing_behind(growth, case):
    result = growth[case]
    assert result["refcounts"] == [0] * len(result["refcounts"]), result
    # The collector's count moves by a handful at most (a traceback's frames being collected).
    assert abs(result["objects"]) <= 20, result
    if not under_address_sanitizer():  # its quarantine holds freed memory back on purpose
        # A leak of the converted arguments or the result would be >= 4 KiB per call here.
        assert result["rss_kib"] < 1024, result


def test_every_case_was_run(growth):
    assert sorted(growth) == sorted(CASES)
