"""Lower-casing of names (the name_index keys, name lookups, search) equals str.lower.

The engine lower-cases with tables generated from one Unicode version (named in
src/util/lowercase_table.inc). Under an interpreter whose Unicode database is older, two kinds
of code point may legitimately differ, and only those are left out of the comparison:
characters the older database does not have yet (category Cn there), and U+1734, which was a
nonspacing mark (case-ignorable) before Unicode 14.0 and a spacing mark after.
"""

import random
import re
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

import corvanedb
from corvane_index import snapshot

ROOT = Path(__file__).resolve().parent.parent
TABLE = ROOT / "src" / "util" / "lowercase_table.inc"
SIGMA = "\u03a3"
SURROGATES = range(0xD800, 0xE000)


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def table_version():
    match = re.search(r"from the Unicode (\S+) character", TABLE.read_text(encoding="utf-8"))
    assert match, "the generated table names no Unicode version"
    return version_tuple(match.group(1))


def comparable_code_points():
    """Every code point a UTF-8 str can hold, less the documented version differences."""
    table, running = table_version(), version_tuple(unicodedata.unidata_version)
    if running > table:
        pytest.skip(f"the case tables (Unicode {table}) are older than this interpreter's "
                    f"({unicodedata.unidata_version}): regenerate them with scripts/generate_lowercase_table.py")
    for cp in range(0x110000):
        if cp in SURROGATES:
            continue
        if running < table and (unicodedata.category(chr(cp)) == "Cn" or (cp == 0x1734 and running < (14,))):
            continue
        yield cp


def lowered_by_engine(tmp_path, names):
    """The name_index key the engine stores for each name, by node id."""
    engine = corvanedb.PyMetadataEngine(str(tmp_path / "ws"))
    for node_id, name in names.items():
        engine.add_node(node_id, "Function", name, "")
    engine.save()
    index = snapshot.read(str(tmp_path / "ws" / ".corvane_snapshot.bin")).name_index
    return {node_id: key for key, ids in index.items() for node_id in ids}


def assert_lowered_like_python(tmp_path, names):
    got = lowered_by_engine(tmp_path, names)
    wrong = [(node_id, name) for node_id, name in names.items() if got.get(node_id) != name.lower()]
    detail = []
    for node_id, name in wrong[:5]:
        expected, actual = name.lower(), got.get(node_id, "")
        diff = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b), min(len(expected), len(actual)))
        detail.append(f"{node_id}: expected {expected[max(0, diff - 3):diff + 3]!r}, "
                      f"got {actual[max(0, diff - 3):diff + 3]!r}")
    assert not wrong, f"{len(wrong)} names lowered unlike str.lower: " + "; ".join(detail)


def chunks(items, size):
    return [items[i:i + size] for i in range(0, len(items), size)]


def test_every_code_point_lowers_like_str_lower(tmp_path):
    # Runs of consecutive code points: their own full mappings; the few capital sigmas
    # among them meet whatever neighbours the run gives them.
    code_points = list(comparable_code_points())
    names = {f"run:{run[0]:X}": f"{run[0]} " + "".join(map(chr, run)) for run in chunks(code_points, 512)}
    assert_lowered_like_python(tmp_path, names)


def test_every_code_point_in_final_sigma_contexts(tmp_path):
    # Each character before a capital sigma, alone and after a cased letter, then after a
    # cased letter's sigma, alone and followed by a cased letter: together these read both
    # properties of the rule (cased, case-ignorable) for every code point.
    def contexts(c):
        return f"{c}{SIGMA} A{c}{SIGMA} A{SIGMA}{c} A{SIGMA}{c}a"

    code_points = list(comparable_code_points())
    names = {f"sigma:{run[0]:X}": f"{run[0]} " + " ".join(contexts(chr(cp)) for cp in run)
             for run in chunks(code_points, 256)}
    assert_lowered_like_python(tmp_path, names)


def test_random_mixtures_of_cased_and_case_ignorable_characters(tmp_path):
    # Runs of ignorables between sigmas and cased letters, titlecase letters, expansions,
    # characters whose UTF-8 length changes when lowered, and text that is pure ASCII
    # (the fast path) or not.
    alphabet = ["A", "a", "Z", "1", " ", "'", ".", ":", "^", "_", SIGMA, "\u03c3", "\u03c2", "\u0301", "\u0345",
                "\u00ad", "\u2019", "\u0130", "\u00df", "\u1e9e", "\u01c5", "\u1fbc", "\u023a", "\u2c65",
                "\U00010400", "\U0001f600", "\u0394", "\u03a9\u0301"]
    rng = random.Random(20261209)
    names = {f"mix:{i}": "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 12))) for i in range(4000)}
    assert_lowered_like_python(tmp_path, names)


def test_generated_table_is_up_to_date(tmp_path):
    if version_tuple(unicodedata.unidata_version) != table_version():
        pytest.skip("the tables come from another Unicode version than this interpreter's")
    out = tmp_path / "table.inc"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "generate_lowercase_table.py"), "--output", str(out)],
                   check=True, capture_output=True)
    assert out.read_text() == TABLE.read_text(), "regenerate src/util/lowercase_table.inc"
