"""The classical bits of a lowered circuit: conditions as cubes, and where each bit lives.

A condition is a tuple of alternatives (mask, value), no two of which can hold at once; a step
guarded by it is emitted once per alternative, and runs when (word & mask) == value. The
runner's word holds slots, not the circuit's bits: a circuit bit's value is read from the slot
its last measurement wrote, which depends on which branch wrote it. So each bit has a
readout, alternatives (mask, value, slot) saying "under this cube the bit is in that slot"
(no alternative holding: the bit was never written there and reads 0). A measurement inside a
branch that reads the bit it writes goes to a fresh slot, so the branch's own condition keeps
its value for the rest of the branch; after the run, the bits whose readout still depends on
a branch are copied into one slot each (`ClassicalBits.readouts`).
"""

from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple

from korvel_programs.classical import ALWAYS, Condition, bits_of, conjoin, negate, simplify

Readout = Tuple[Tuple[int, int, int], ...]  # (mask, value, slot) alternatives


class ClassicalBits:
    """Where each circuit bit lives in the runner's word while a circuit is walked.

    Circuit bit c has slot c as its home; fresh slots, numbered from the circuit's bit count,
    take the measurements that may not overwrite a slot still being read. Other slots (for
    values computed at run time) are numbered from the same count (`new_slot`).
    """

    def __init__(self, num_clbits: int) -> None:
        self.num_clbits = num_clbits
        self.locations: Dict[int, Readout] = {}
        self.fresh: List[int] = []
        self.next_slot = num_clbits

    def new_slot(self) -> int:
        slot = self.next_slot
        self.next_slot += 1
        return slot

    # -- reading --------------------------------------------------------------------------

    def literal(self, clbit: int, one: bool) -> Condition:
        """Where circuit bit `clbit` reads 1 (or 0), as cubes over slots."""
        readout = self.locations.get(clbit, ())
        out: List[Tuple[int, int]] = []
        for mask, value, slot in readout:
            out.extend(conjoin(((mask, value),), ((1 << slot, (1 << slot) if one else 0),)))
        if not one:
            out.extend(negate(tuple((mask, value) for mask, value, _ in readout)))
        return simplify(tuple(out))

    def resolve(self, condition: Condition) -> Condition:
        """A condition over circuit bits as a condition over the slots they live in now."""
        out: List[Tuple[int, int]] = []
        for mask, value in condition:
            alternatives = ALWAYS
            for clbit in bits_of(mask):
                alternatives = conjoin(alternatives, self.literal(clbit, bool((value >> clbit) & 1)))
                if not alternatives:
                    break
            out.extend(alternatives)
        return simplify(tuple(out))

    # -- writing --------------------------------------------------------------------------

    def measured(self, clbit: int, condition: Condition, held: int = 0) -> int:
        """The slot a measurement into `clbit` under `condition` writes; updates the readout.
        `held` are slots still to be read (conditions of branches yet to come, variables), which
        the measurement must not overwrite."""
        blocked = self._blocked(clbit, condition, held)
        free = [s for s in [clbit, *self.fresh] if not (blocked >> s) & 1]
        if free:
            slot = free[0]
        else:
            slot = self.new_slot()
            self.fresh.append(slot)
        # A bit never written reads 0, and so does its home slot until it is measured there:
        # a first measurement into the home slot leaves the bit in one place either way.
        previous = self.locations.get(clbit) or (((0, 0, clbit),) if slot == clbit else ())
        kept: List[Tuple[int, int, int]] = []
        for mask, value, old in previous:
            kept.extend((m, v, old) for m, v in conjoin(((mask, value),), negate(condition)))
        self.locations[clbit] = _merge_readout([(m, v, slot) for m, v in condition] + kept)
        return slot

    def pinned(self, clbit: int) -> Optional[int]:
        """The one slot bit `clbit` is read from whichever branch ran, None if that depends on
        a branch. An unwritten bit is given its home slot, which holds 0 until the bit is
        measured: only measurements of the bit write it."""
        readout = self.locations.get(clbit)
        if not readout:
            self.locations[clbit] = ((0, 0, clbit),)
            return clbit
        if len(readout) == 1 and readout[0][0] == 0:
            return readout[0][2]
        return None

    def measured_in_place(self, clbit: int, condition: Condition, held: int = 0) -> Optional[int]:
        """The slot a measurement into `clbit` overwrites inside a loop, where a bit must stay
        in one slot for the loop to read it again: the bit's own slot, or None when that slot
        is not one place or is still to be read (by `condition`, `held` or another bit)."""
        slot = self.pinned(clbit)
        if slot is None:
            return None
        return None if (self._blocked(clbit, condition, held) >> slot) & 1 else slot

    def gather_slot(self, clbit: int, condition: Condition, held: int) -> int:
        """A slot bit `clbit` can be copied into and then overwritten in place: a fresh one that
        nothing reads (`condition`, `held`, any bit's readout, this bit's included)."""
        blocked = self._blocked(clbit, condition, held)
        for mask, _, slot in self.locations.get(clbit, ()):
            blocked |= mask | (1 << slot)
        free = [s for s in self.fresh if not (blocked >> s) & 1]
        if free:
            return free[0]
        slot = self.new_slot()
        self.fresh.append(slot)
        return slot

    def place(self, clbit: int, slot: int) -> None:
        """Bit `clbit` is in `slot` now, whichever branch ran."""
        self.locations[clbit] = ((0, 0, slot),)

    def blocked(self, clbit: int, condition: Condition, held: int) -> int:
        return self._blocked(clbit, condition, held)

    def _blocked(self, clbit: int, condition: Condition, held: int) -> int:
        """Mask of the slots a measurement into `clbit` may not overwrite: those `condition`
        tests, `held`, and those every other bit is read from or tested by."""
        blocked = held
        for mask, _ in condition:
            blocked |= mask
        for other, readout in self.locations.items():
            if other != clbit:
                for mask, _, slot in readout:
                    blocked |= mask | (1 << slot)
        return blocked

    # -- after the walk -------------------------------------------------------------------

    def slots_read(self) -> int:
        """Mask of the slots the final readouts take their values from or test."""
        used = 0
        for readout in self.locations.values():
            for mask, _, slot in readout:
                used |= mask | (1 << slot)
        return used

    def readouts(self, compact: "Compaction") -> Tuple[Tuple[int, ...], Tuple[Tuple[int, Readout], ...], int]:
        """Per circuit bit its compact slot (-1: reads 0); the copies that put the bits whose
        readout depends on a branch into their slots, (slot, readout) read from the word as
        the runner left it; and the number of compact slots, copies' destinations included."""
        static: Dict[int, int] = {}
        branching: List[int] = []
        for clbit in range(self.num_clbits):
            readout = self.locations.get(clbit, ())
            if not readout:
                static[clbit] = -1
            elif len(readout) == 1 and readout[0][0] == 0:
                static[clbit] = compact.slot(readout[0][2])
            else:
                branching.append(clbit)
        taken = {s for s in static.values() if s >= 0}
        width = compact.width
        copies = []
        slots = dict(static)
        for clbit in branching:
            home: Optional[int] = compact.slot(clbit) if compact.has(clbit) else None
            if home is None or home in taken:
                home = width
                width += 1
            taken.add(home)
            slots[clbit] = home
            readout = tuple((compact.mask(m), compact.mask(v), compact.slot(s))
                            for m, v, s in self.locations[clbit])
            copies.append((home, readout))
        return tuple(slots[c] for c in range(self.num_clbits)), tuple(copies), width


class Compaction:
    """Slot ids in use, numbered 0, 1, ... in their order."""

    def __init__(self, used: int) -> None:
        self.index = {slot: i for i, slot in enumerate(bits_of(used))}
        self.width = len(self.index)

    def has(self, slot: int) -> bool:
        return slot in self.index

    def slot(self, slot: int) -> int:
        return self.index[slot]

    def mask(self, mask: int) -> int:
        out = 0
        for slot in bits_of(mask):
            out |= 1 << self.index[slot]
        return out


def _merge_readout(alternatives: Sequence[Tuple[int, int, int]]) -> Readout:
    by_slot: Dict[int, List[Tuple[int, int]]] = {}
    for mask, value, slot in alternatives:
        by_slot.setdefault(slot, []).append((mask, value))
    return tuple((mask, value, slot) for slot, cubes in by_slot.items()
                 for mask, value in simplify(tuple(cubes)))
