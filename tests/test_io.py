"""zelka.io: exact round trips of graphs of every node kind (names, kinds, attribute types,
dtypes and shapes, edges, cyclic_config), the writer's all-or-nothing replacement, and hostile
files: truncated, of another version, with arrays that disagree with the manifest, huge
declared sizes, escaping or repeated entry names, compressed entries and object dtypes."""

import dataclasses
import io
import json
import math
import os
import re
import socket
import stat
import struct
import subprocess
import sys
import zipfile
import zlib

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zelka.io as zio
from zelka.ir import NODE_KINDS, Affine, Graph, HybridRegion, Input, Output

DTYPES = [
    np.dtype(code).newbyteorder(order)
    for code in ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "c8", "c16"]
    for order in "<>"
]

names = st.text(st.characters(codec=None, exclude_categories=()), max_size=8)  # lone surrogates too
arrays = st.sampled_from(DTYPES).flatmap(
    lambda dtype: hnp.arrays(dtype, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=4))
)
numpy_scalars = arrays.map(lambda a: a.reshape(-1)[0] if a.size else a.dtype.type(0))
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=2**63, max_value=2**200)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.complex_numbers(allow_nan=True, allow_infinity=True)
    | names
    | numpy_scalars
    | arrays
)
values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.lists(inner, max_size=3).map(tuple)
        | st.dictionaries(names, inner, max_size=3)
    ),
    max_leaves=8,
)


@st.composite
def nodes(draw, kind):
    fields = {f.name: draw(values) for f in dataclasses.fields(kind)}
    return kind(**fields)


@st.composite
def graphs(draw, depth=1):
    node_names = draw(st.lists(names, max_size=len(NODE_KINDS), unique=True))
    kinds = draw(st.permutations(NODE_KINDS))
    built = {name: draw(nodes(kind)) for name, kind in zip(node_names, kinds, strict=False)}
    if depth and built and draw(st.booleans()):
        next(iter(built.values())).output_type = draw(graphs(depth=0))  # a graph inside a node
    edge = st.tuples(names, names) | st.lists(names, min_size=2, max_size=2)
    return Graph(built, draw(st.lists(edge, max_size=6)), draw(values))


def assert_identical(got, want, where="graph"):
    """Equal values of the same types, arrays of the same dtype (byte order included), shape
    and bytes, NaNs where NaNs were."""
    assert type(got) is type(want), where
    if isinstance(want, Graph):
        assert list(got.nodes) == list(want.nodes), where
        for name, node in want.nodes.items():
            assert type(got.nodes[name]) is type(node), (where, name)
            for f in dataclasses.fields(node):
                assert_identical(
                    getattr(got.nodes[name], f.name), getattr(node, f.name), f"{where}.{name}.{f.name}"
                )
        assert_identical(got.edges, want.edges, f"{where}.edges")
        assert_identical(got.cyclic_config, want.cyclic_config, f"{where}.cyclic_config")
    elif isinstance(want, (np.ndarray, np.generic)):
        assert got.dtype.str == want.dtype.str and got.shape == want.shape, where
        assert got.tobytes() == want.tobytes(), where
    elif isinstance(want, float):
        assert (math.isnan(got) and math.isnan(want)) or struct.pack("<d", got) == struct.pack("<d", want), (
            where
        )
    elif isinstance(want, complex):
        assert_identical(got.real, want.real, where)
        assert_identical(got.imag, want.imag, where)
    elif isinstance(want, (list, tuple)):
        assert len(got) == len(want), where
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            assert_identical(g, w, f"{where}[{i}]")
    elif isinstance(want, dict):
        assert list(got) == list(want), where
        for key in want:
            assert_identical(got[key], want[key], f"{where}[{key!r}]")
    else:
        assert got == want, where


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large]
)
@given(graphs())
def test_graphs_of_every_kind_round_trip_exactly(tmp_path_factory, graph):
    path = tmp_path_factory.mktemp("round") / "graph.zelka"
    zio.save(graph, path)
    assert_identical(zio.load(path), graph)


@pytest.mark.parametrize("kind", NODE_KINDS, ids=lambda k: k.__name__)
def test_each_node_kind_round_trips_with_its_defaults(tmp_path, kind):
    required = [
        f
        for f in dataclasses.fields(kind)
        if f.default is dataclasses.MISSING and f.default_factory is dataclasses.MISSING
    ]
    node = kind(*[np.arange(6, dtype=np.float32).reshape(2, 3) for _ in required])
    graph = Graph({"n": node})
    zio.save(graph, tmp_path / "g")
    assert_identical(zio.load(tmp_path / "g"), graph)


def test_shared_arrays_stay_shared_and_files_are_reproducible(tmp_path):
    w = np.ones((2, 3), np.float32)
    graph = Graph.sequential(
        ("in", Input(input_type={"x": (3,)})), ("a", Affine(w)), ("b", Affine(w, w[0])), ("out", Output())
    )
    zio.save(graph, tmp_path / "one")
    zio.save(graph, str(tmp_path / "two"))
    assert (tmp_path / "one").read_bytes() == (tmp_path / "two").read_bytes()
    loaded = zio.load(os.fsencode(tmp_path / "one"))
    assert loaded.nodes["a"].weight is loaded.nodes["b"].weight
    assert not np.shares_memory(loaded.nodes["a"].weight, loaded.nodes["b"].bias)
    assert zipfile.ZipFile(tmp_path / "one").testzip() is None  # other tools read it too


def test_archives_rewritten_by_other_zip_tools_still_load(tmp_path):
    graph = Graph.sequential(("in", Input()), ("fc", Affine(np.eye(2, dtype=np.float16))), ("out", Output()))
    zio.save(graph, tmp_path / "g")
    entries = read_entries(tmp_path / "g")
    with zipfile.ZipFile(tmp_path / "other", "w", zipfile.ZIP_STORED) as z:
        z.comment = b"repacked"
        for name, data in entries:
            z.writestr(name, data)
    assert_identical(zio.load(tmp_path / "other"), graph)


class MyAffine(Affine):
    pass


@pytest.mark.parametrize(
    ("graph", "message"),
    [
        (Graph({1: Input()}), "node names must be str, not int"),
        (Graph({"x": MyAffine(np.ones(2))}), "node 'x': a MyAffine is not a zelka.ir node kind"),
        (
            Graph({"x": Affine(np.array([None, 1]))}),
            "node 'x' attribute 'weight': dtype object cannot be saved",
        ),
        (Graph({"x": Affine(np.ones(2, np.longdouble))}), "dtype float128 cannot be saved"),
        (Graph({"x": Affine(np.array(["a"]))}), "dtype <U1 cannot be saved"),
        (Graph({"x": Input(input_type={1: (2,)})}), "attribute 'input_type': dict keys must be str, not int"),
        (Graph({"x": Input(input_type={2, 3})}), "attribute 'input_type': a set has no file form"),
        (Graph({}, [("a", object())]), "edge 0: a object has no file form"),
        (Graph({}, [], {"k": b"bytes"}), "cyclic_config: a bytes has no file form"),
    ],
)
def test_values_without_a_file_form_are_refused_and_nothing_is_written(tmp_path, graph, message):
    path = tmp_path / "g"
    path.write_bytes(b"the old file")
    with pytest.raises(ValueError, match=message):
        zio.save(graph, path)
    assert path.read_bytes() == b"the old file" and os.listdir(tmp_path) == ["g"]


def test_nesting_beyond_the_manifest_depth_is_refused_on_save(tmp_path):
    deep = []
    for _ in range(600):
        deep = [deep]
    looped = []
    looped.append(looped)
    for value in (deep, looped):
        with pytest.raises(ValueError, match="nests deeper than a graph file allows"):
            zio.save(Graph({"x": Output(output_type=value)}), tmp_path / "g")
    assert not os.listdir(tmp_path)


def test_save_and_load_take_only_paths_and_report_the_file_system(tmp_path):
    with pytest.raises(TypeError, match="graph must be a zelka.ir.Graph"):
        zio.save({"x": Input()}, tmp_path / "g")
    with pytest.raises(TypeError, match="path"):
        zio.save(Graph(), 3)
    with pytest.raises(FileNotFoundError):
        zio.save(Graph(), tmp_path / "missing" / "g")
    with pytest.raises(FileNotFoundError):
        zio.load(tmp_path / "nothing")
    with pytest.raises(ValueError, match=" is a directory, not a graph file"):
        zio.load(tmp_path)
    assert not os.listdir(tmp_path)


# ---- paths that name no regular file


def load_in_a_child(path):
    """What zelka.io.load(path) raises, run in a child interpreter killed after a minute, so
    that a load that blocks fails the test instead of hanging it."""
    code = f"import zelka.io\ntry:\n    zelka.io.load({str(path)!r})\nexcept ValueError as e:\n    print(e)"
    return subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, text=True, timeout=60
    ).stdout


def test_load_refuses_at_once_what_is_not_a_regular_file(tmp_path, monkeypatch):
    os.mkfifo(tmp_path / "fifo")
    os.symlink("fifo", tmp_path / "link")
    assert load_in_a_child(tmp_path / "fifo") == f"{tmp_path / 'fifo'} is a FIFO, not a graph file\n"
    assert load_in_a_child(tmp_path / "link") == f"{tmp_path / 'link'} is a FIFO, not a graph file\n"
    with pytest.raises(ValueError, match="^/dev/zero is a character device, not a graph file$"):
        zio.load("/dev/zero")  # read, it would never end
    monkeypatch.chdir(tmp_path)  # a socket's path must be short
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind("socket")
        with pytest.raises(ValueError, match="^socket is a socket, not a graph file$"):
            zio.load("socket")
    with pytest.raises(ValueError, match=f"^{re.escape(str(tmp_path))} is a directory, not a graph file$"):
        zio.load(tmp_path)


def test_save_replaces_only_regular_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkfifo("fifo")
    os.mkdir("folder")
    os.symlink("fifo", "to_fifo")
    os.symlink("to_fifo", "to_to_fifo")
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind("socket")
        before = sorted(os.listdir())
        for path, message in [
            ("fifo", "fifo is a FIFO"),
            ("socket", "socket is a socket"),
            ("folder", "folder is a directory"),
            ("to_to_fifo", "to_to_fifo leads to fifo, a FIFO"),
        ]:
            with pytest.raises(ValueError, match=f"^{message}; save replaces regular files only$"):
                zio.save(Graph(), path)
        assert sorted(os.listdir()) == before and os.listdir("folder") == []  # nothing written
        assert stat.S_ISFIFO(os.lstat("fifo").st_mode) and os.readlink("to_to_fifo") == "to_fifo"


def test_save_through_symbolic_links_replaces_the_file_they_lead_to(tmp_path):
    graph = Graph.sequential(("in", Input(input_type={"x": (3,)})), ("out", Output()))
    (tmp_path / "runs").mkdir()
    zio.save(Graph(), tmp_path / "runs" / "g.zelka")
    os.symlink("runs/g.zelka", tmp_path / "latest")
    os.symlink(tmp_path / "latest", tmp_path / "current")  # absolute, to a link
    zio.save(graph, tmp_path / "current")
    assert os.readlink(tmp_path / "current") == str(tmp_path / "latest")
    assert os.readlink(tmp_path / "latest") == "runs/g.zelka"
    assert_identical(zio.load(tmp_path / "runs" / "g.zelka"), graph)
    # a dangling link: the file it names is made, as open(path, "w") makes it
    os.symlink("runs/new.zelka", tmp_path / "next")
    zio.save(graph, tmp_path / "next")
    assert os.path.islink(tmp_path / "next")
    assert sorted(os.listdir(tmp_path / "runs")) == ["g.zelka", "new.zelka"]
    assert_identical(zio.load(tmp_path / "next"), graph)
    os.symlink("loop", tmp_path / "loop")
    with pytest.raises(OSError, match="Too many levels of symbolic links"):
        zio.save(graph, tmp_path / "loop")


# ---- hostile files


def read_entries(path):
    with zipfile.ZipFile(path) as z:
        return [(info.filename, z.read(info)) for info in z.infolist()]


def write_entries(path, entries, compression=zipfile.ZIP_STORED):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            z.writestr(zipfile.ZipInfo(name), data, compress_type=compression)


def npy(array, header=None):
    buffer = io.BytesIO()
    np.save(buffer, array)
    data = buffer.getvalue()
    if header is not None:  # replace the header dict, keeping the length field consistent
        length = int.from_bytes(data[8:10], "little")
        text = header.ljust(length - 1).encode() + b"\n"
        data = data[:8] + len(text).to_bytes(2, "little") + text + data[10 + length :]
    return data


@pytest.fixture
def saved(tmp_path):
    """A saved graph's path and entries (the manifest parsed)."""
    graph = Graph.sequential(
        ("in", Input(input_type={"x": (3,)})), ("fc", Affine(np.ones((2, 3), np.float32))), ("out", Output())
    )
    path = tmp_path / "g.zelka"
    zio.save(graph, path)
    entries = read_entries(path)
    return path, json.loads(entries[0][1]), entries[1:]


def assert_refused(path, message):
    with pytest.raises(ValueError, match=message) as caught:
        zio.load(path)
    assert str(caught.value).startswith(f"{path}: "), "the message names the file"


def test_truncated_files_are_refused(saved):
    path, _, _ = saved
    whole = path.read_bytes()
    for length in [0, 10, 21, len(whole) // 2, len(whole) - 23, len(whole) - 1]:
        path.write_bytes(whole[:length])
        assert_refused(path, "too short for a zip archive|no end-of-central-directory record|reaches past")


def test_files_that_are_not_graph_archives_are_refused(saved, tmp_path):
    path, manifest, arrays = saved
    path.write_bytes(b"PK\x05\x06" + bytes(18) + b"not a zip at all")
    assert_refused(path, "no end-of-central-directory record")
    write_entries(path, [("manifest.json", b"{ not json")])
    assert_refused(path, "invalid JSON at byte 2")
    write_entries(path, arrays + [("manifest.json", json.dumps(manifest).encode())])
    assert_refused(path, "does not start with manifest.json")
    write_entries(path, [("manifest.json", b"{}")])
    assert_refused(path, 'does not declare the format "zelka-graph"')


@pytest.mark.parametrize("version", [2, 0, "1", None])
def test_unknown_versions_are_refused(saved, version):
    path, manifest, arrays = saved
    manifest["version"] = version
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), *arrays])
    assert_refused(path, "format version 2 is not supported" if version == 2 else "version")


@pytest.mark.parametrize(
    ("array", "message"),
    [
        (
            np.ones((3, 2), np.float32),
            r"arrays/0.npy holds dtype '<f4' and shape \(3, 2\); the manifest declares dtype '<f4' and shape \(2, 3\)",
        ),
        (np.ones((2, 3), np.float64), "arrays/0.npy holds dtype '<f8'"),
        (np.ones((2, 3), ">f4"), "arrays/0.npy holds dtype '>f4'"),
        (np.array([None, 1], object), "dtype '\\|O' is not one zelka reads"),
        (np.array(["ab"]), "dtype '<U2' is not one zelka reads"),
    ],
)
def test_arrays_that_disagree_with_the_manifest_are_refused(saved, array, message):
    path, manifest, _ = saved
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), ("arrays/0.npy", npy(array))])
    assert_refused(path, message)


@pytest.mark.parametrize(
    ("header", "message"),
    [
        (
            "{'descr': '<f4', 'fortran_order': False, 'shape': (1000000000000, 1000000), }",
            "declares 4000000000000000000 bytes of data, the array holds 24",
        ),
        (
            "{'descr': '<f4', 'fortran_order': False, 'shape': (4294967296, 4294967296, 4), }",
            "more elements than any file holds",
        ),
        ("{'descr': '<f4', 'fortran_order': True, 'shape': (2, 3), }", "Fortran order"),
        ("{'descr': '<f4', 'shape': (2, 3), }", "descr, fortran_order or shape missing"),
        (
            "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 3), 'x': 1}",
            "unexpected or repeated key 'x'",
        ),
        ("__import__('os').system('true')", "not the dict numpy writes"),
    ],
)
def test_npy_headers_are_checked_before_anything_is_allocated(saved, header, message):
    path, manifest, _ = saved
    write_entries(
        path,
        [
            ("manifest.json", json.dumps(manifest).encode()),
            ("arrays/0.npy", npy(np.ones((2, 3), np.float32), header)),
        ],
    )
    assert_refused(path, message)


def test_a_manifest_declaring_a_huge_array_is_refused_without_allocating_it(saved):
    path, manifest, arrays = saved
    weight = manifest["graph"]["nodes"][1]["attributes"]["weight"]
    weight["shape"] = [10**12, 10**12]
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), *arrays])
    assert_refused(path, r"the manifest declares dtype '<f4' and shape \(1000000000000, 1000000000000\)")


@pytest.mark.parametrize(
    ("shape", "message"),
    [
        ((0, 2**63 - 1), r"shape \(0, 9223372036854775807\) is one numpy refuses even for an empty array"),
        ((0,) + (1,) * 100, "shape has 101 dimensions, more than the 64 of any numpy array"),
    ],
)
def test_shapes_no_numpy_array_takes_are_refused_naming_the_entry(saved, shape, message):
    path, manifest, _ = saved
    manifest["graph"]["nodes"][1]["attributes"]["weight"]["shape"] = list(shape)  # as the array says
    header = f"{{'descr': '<f4', 'fortran_order': False, 'shape': {shape}, }}".ljust(511) + "\n"
    array = b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header.encode()
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), ("arrays/0.npy", array)])
    assert_refused(path, "arrays/0.npy: the .npy " + message)


def test_integers_beyond_the_digits_python_converts(tmp_path):
    huge = 7 * 10**4999  # 5000 digits, more than Python's default limit of 4300
    path = tmp_path / "g"
    limit = sys.get_int_max_str_digits()
    with pytest.raises(
        ValueError,
        match=r"^cannot save node 'x' attribute 'output_type': an integer of more digits than this "
        rf"Python writes \(it converts at most {limit} digits; sys.set_int_max_str_digits raises the limit\)$",
    ):
        zio.save(Graph({"x": Output(output_type=[1, huge])}), path)
    assert not os.listdir(tmp_path)
    sys.set_int_max_str_digits(0)  # no limit: saved and loaded exactly
    try:
        graph = Graph({"x": Output(output_type=[huge, -huge])})
        zio.save(graph, path)
        assert_identical(zio.load(path), graph)
    finally:
        sys.set_int_max_str_digits(limit)
    assert_refused(
        path, "node 'x' attribute 'output_type': an integer of 5000 digits, more than this Python converts"
    )


def patch(data, offset, fmt, *values):
    return data[:offset] + struct.pack(fmt, *values) + data[offset + struct.calcsize(fmt) :]


def test_records_declaring_sizes_beyond_the_file_are_refused(saved):
    path, _, _ = saved
    whole = path.read_bytes()
    end = len(whole) - 22
    directory_at = struct.unpack_from("<I", whole, end + 16)[0]
    cases = [
        (patch(whole, end + 12, "<I", 2**31), "the central directory .* reaches past its end record"),
        (patch(whole, end + 8, "<HH", 5000, 5000), "cannot hold the 5000 entries"),
        (patch(whole, end + 10, "<H", 5000), "spanning several disks"),
        (
            patch(patch(whole, directory_at + 20, "<I", 2**31), directory_at + 24, "<I", 2**31),
            "reaches past the data",
        ),
        (patch(whole, directory_at + 42, "<I", 2**31), "local header of entry 'manifest.json' is missing"),
        (patch(whole, end + 8, "<HH", 0xFFFF, 0xFFFF), "zip64"),
    ]
    for data, message in cases:
        path.write_bytes(data)
        assert_refused(path, message)


def test_entries_whose_content_overlaps_another_are_refused(saved):
    path, _, _ = saved
    whole = path.read_bytes()
    second = whole.index(b"PK\x03\x04", 4)  # the array's local header
    directory_at = struct.unpack_from("<I", whole, len(whole) - 6)[0]
    swallowed = directory_at - 30 - len("manifest.json")  # the manifest runs to the directory
    crc = zlib.crc32(whole[30 + len("manifest.json") : directory_at])
    for offset in (14, directory_at + 16):  # local and central: CRC-32, stored size, size
        whole = patch(whole, offset, "<III", crc, swallowed, swallowed)
    path.write_bytes(whole)
    assert second < directory_at
    assert_refused(path, "entries 'manifest.json' and 'arrays/0.npy' overlap")


@pytest.mark.parametrize(
    ("name", "message"),
    [
        ("../evil.npy", "leaves the archive"),
        ("arrays/../../evil.npy", "leaves the archive"),
        ("/etc/evil.npy", "is absolute"),
        ("C:evil.npy", "is absolute"),
        ("arrays\\..\\evil.npy", "holds a backslash"),
        ("arrays//0.npy", "empty or"),
        ("arrays/./0.npy", "empty or"),
        ("arrays/00.npy", r"unexpected entry 'arrays/00.npy' \(expected 'arrays/0.npy'\)"),
    ],
)
def test_entry_names_that_escape_or_are_unexpected_are_refused(saved, name, message):
    path, manifest, arrays = saved
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), (name, arrays[0][1])])
    assert_refused(path, message)


def test_repeated_compressed_and_damaged_entries_are_refused(saved):
    path, manifest, arrays = saved
    text = json.dumps(manifest).encode()
    with pytest.warns(UserWarning, match="Duplicate name"):
        write_entries(path, [("manifest.json", text), *arrays, *arrays])
    assert_refused(path, "entry 'arrays/0.npy' appears twice")
    write_entries(path, [("manifest.json", text), *arrays], zipfile.ZIP_DEFLATED)
    assert_refused(path, r"entry 'manifest.json' is compressed \(method 8\)")
    write_entries(path, [("manifest.json", text), *arrays])
    whole = bytearray(path.read_bytes())
    whole[whole.index(b"\x93NUMPY") + 130] ^= 1  # a bit of the array's data
    path.write_bytes(bytes(whole))
    assert_refused(path, "entry 'arrays/0.npy' is damaged")


@pytest.mark.parametrize(
    ("mutate", "message"),
    [
        (lambda g: g["nodes"][1].update(kind="Graph"), "node 'fc': unknown node kind 'Graph'"),
        (
            lambda g: g["nodes"][1]["attributes"].update(shell="rm"),
            "node 'fc': Affine has no attribute 'shell'",
        ),
        (lambda g: g["nodes"][1]["attributes"].pop("weight"), "node 'fc': its attribute 'weight' is missing"),
        (lambda g: g["nodes"][2].update(name="in"), "node 'in': the name appears twice"),
        (lambda g: g["nodes"][1]["attributes"].update(bias={"pickle": "x"}), "a value in no known form"),
        (
            lambda g: g["nodes"][1]["attributes"]["weight"].update(array=5),
            "refers to array 5, which the archive does not hold",
        ),
        (
            lambda g: g["nodes"][1]["attributes"].update(weight=None),
            "arrays/0.npy is not referred to by the manifest",
        ),
        (lambda g: g.update(cyclic_config={"code_points": [0x110000]}), "code point 1114112 out of range"),
        (lambda g: g.update(cyclic_config={"dict": [["a", 1], ["a", 2]]}), "dict key 'a' appears twice"),
        (lambda g: g.update(cyclic_config=json.loads("[" * 600 + "]" * 600)), "nested more than 512 deep"),
    ],
)
def test_manifests_describing_no_graph_are_refused(saved, mutate, message):
    path, manifest, arrays = saved
    mutate(manifest["graph"])
    write_entries(path, [("manifest.json", json.dumps(manifest).encode()), *arrays])
    assert_refused(path, message)


def test_a_hybrid_region_keeps_its_subgraph(tmp_path):
    inner = Graph.sequential(("a", Input()), ("b", Output()), cyclic_config={"max_iterations": 3})
    graph = Graph({"h": HybridRegion(subgraph=inner, domain="conventional")})
    zio.save(graph, tmp_path / "g")
    assert_identical(zio.load(tmp_path / "g"), graph)
