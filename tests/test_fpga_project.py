"""HlsBridge.build_bitstream: the artefacts, the project folder it writes (all files or none),
hls4ml_config.json, and the saved model."""

import importlib.util
import json
import os
import pickle
import sys
import types
from importlib import resources
from pathlib import Path

import numpy as np
import pytest

from tests.texts import assert_same_text
from zelka.backend.fpga import cfgsmith, templates
from zelka.backend.fpga.hlsbridge import BitstreamConfig, generate_build_script
from zelka.backend.fpga.vexal import VexalConfig, generate_tcl
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

HEADERS = ["if_model.h", "lif_model.h", "lif_subtractive_model.h", "complex_lif.h"]
TORCH = importlib.util.find_spec("torch") is not None


def mlp(shape=(784,), **fc):
    return Graph.sequential(
        ("in", Input(input_type={"input": shape})),
        ("fc1", Affine(np.ones((10, 784)), **fc)),
        ("lif1", LIF(np.full(10, 20.0), np.ones(10))),
        ("out", Output()),
    )


def snapshot(folder):
    """Every file below `folder` (hidden ones included) and its bytes."""
    found = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as file:
                found[os.path.relpath(path, folder)] = file.read()
    return found


def expected_files(out):
    return [
        f"{out}/firmware/parameters.h",
        *(f"{out}/firmware/nnet_utils/{name}" for name in HEADERS),
        f"{out}/build.py", f"{out}/build_prj.tcl", f"{out}/hls4ml_config.json",
    ]  # fmt: skip


def test_without_writing(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    graph = mlp()
    result = get_backend("fpga").build_bitstream(graph, pytorch_model=object())
    assert list(result) == [
        "hls4ml_config",
        "parameters_h",
        "build_script",
        "tcl_script",
        "template_paths",
        "descriptor",
    ]
    metadata = result["descriptor"].metadata
    assert result["hls4ml_config"] is metadata["hls4ml_config"]
    assert result["template_paths"] is metadata["template_paths"]
    assert metadata["bitstream"]["config"] == {
        "csim": False, "synth": True, "cosim": False, "export": True, "vsynth": True, "bitfile": True,
    }  # fmt: skip
    assert result["parameters_h"] == cfgsmith.generate_parameters_h(graph, io_type="io_stream")
    assert result["build_script"] == generate_build_script(result["hls4ml_config"], BitstreamConfig())
    assert result["tcl_script"] == generate_tcl(VexalConfig())
    assert list(tmp_path.iterdir()) == []


# fmt: off
@pytest.mark.parametrize("arguments, shape_text", [
    ({}, "None, 784"),
    ({"project_name": "snn", "part": "xc7z020clg400-1", "clock_period": 3.3, "io_type": "io_parallel",
      "default_precision": "ap_fixed<18,8>", "default_reuse_factor": 2, "strategy": "Resource",
      "bitstream_config": {"bitfile": False}}, "None, 784"),
])
def test_written_project(tmp_path, arguments, shape_text):
    out = str(tmp_path / "prj")
    if "bitstream_config" in arguments:
        arguments = {**arguments, "bitstream_config": BitstreamConfig(**arguments["bitstream_config"])}
    result = get_backend("fpga").build_bitstream(mlp(reuse_factor=4), out, write_to_disk=True, **arguments)
    assert list(result)[-1] == "written_files" and "pytorch_model_save_error" not in result
    assert result["written_files"] == expected_files(out)
    files = snapshot(out)
    assert sorted(files) == sorted(os.path.relpath(path, out) for path in expected_files(out))
    for key, name in [("parameters_h", "firmware/parameters.h"), ("build_script", "build.py"),
                      ("tcl_script", "build_prj.tcl")]:
        assert files[name].decode("utf-8") == result[key]
    for name in HEADERS:
        package_copy = resources.files("zelka.backend.fpga").joinpath("hls", name).read_bytes()
        assert files[f"firmware/nnet_utils/{name}"] == package_copy
    config = result["hls4ml_config"]
    document = json.loads(files["hls4ml_config.json"])
    assert list(document) == [*(k for k in config if k not in ("PytorchModel", "InputShape", "Layers")), "PytorchModel"]
    assert document["HLSConfig"] == {**config["HLSConfig"], "InputShape": shape_text}
    assert document["PytorchModel"] == "./model.pt"
# fmt: on


DEFAULT_JSON = """{
  "OutputDir": "OUT",
  "ProjectName": "myproject",
  "Part": "xczu9eg-ffvb1156-2-i",
  "ClockPeriod": 5,
  "IOType": "io_stream",
  "Backend": "Vivado",
  "HLSConfig": {
    "Model": {
      "Precision": "ap_fixed<16,6>",
      "ReuseFactor": 1,
      "Strategy": "Latency"
    },
    "InputShape": "SHAPE"
  },
  "PytorchModel": "./model.pt"
}"""


# fmt: off
@pytest.mark.parametrize("shape, text", [
    ((784,), "None, 784"), ((3, 8, 8), "None, 3, 8, 8"), ((None, 3, 8, 8), "None, 3, 8, 8"),
    (np.array([1, 28, 28]), "None, 1, 28, 28"), ((), "None"), ((None,), "None"), (("3", 8.7), "None, 3, 8"),
])
def test_the_json_document(tmp_path, shape, text):
    out = str(tmp_path / "prj")
    get_backend("fpga").build_bitstream(mlp(shape), out, write_to_disk=True)
    expected = DEFAULT_JSON.replace("OUT", out).replace("SHAPE", text)
    assert_same_text((tmp_path / "prj" / "hls4ml_config.json").read_text(encoding="utf-8"), expected)
# fmt: on


def test_the_json_document_with_per_layer_settings(tmp_path):
    out = str(tmp_path / "prj")
    graph = mlp((None, 1, 28, 28), reuse_factor=4, weight_t="ap_fixed<8,3>", accum_t="ap_fixed<24,12>")
    arguments = {"project_name": "snn", "part": "xc7z020clg400-1", "clock_period": 2.5, "io_type": "io_parallel",
                 "default_precision": "ap_fixed<18,8>", "default_reuse_factor": 2, "strategy": "Resource"}  # fmt: skip
    get_backend("fpga").build_bitstream(graph, out, write_to_disk=True, **arguments)
    expected = """{
  "OutputDir": "OUT",
  "ProjectName": "snn",
  "Part": "xc7z020clg400-1",
  "ClockPeriod": 2,
  "IOType": "io_parallel",
  "Backend": "Vivado",
  "HLSConfig": {
    "Model": {
      "Precision": "ap_fixed<18,8>",
      "ReuseFactor": 2,
      "Strategy": "Resource"
    },
    "LayerName": {
      "fc1": {
        "Precision": {
          "weight": "ap_fixed<8,3>",
          "accum": "ap_fixed<24,12>"
        },
        "ReuseFactor": 4
      }
    },
    "InputShape": "None, 1, 28, 28"
  },
  "PytorchModel": "./model.pt"
}""".replace("OUT", out)
    assert_same_text((tmp_path / "prj" / "hls4ml_config.json").read_text(encoding="utf-8"), expected)


def test_the_json_document_is_ascii_with_escapes(tmp_path):
    out = str(tmp_path / "prj_é")
    graph = mlp(weight_t='ap_fixed<8,3> "q"\\', reuse_factor=2)
    get_backend("fpga").build_bitstream(graph, out, project_name="p_éσ", write_to_disk=True)
    text = (tmp_path / "prj_é" / "hls4ml_config.json").read_bytes().decode("ascii")
    assert (
        '"ProjectName": "p_\\u00e9\\u03c3"' in text and '"OutputDir": "' + out.replace("é", "\\u00e9") in text
    )
    assert '"weight": "ap_fixed<8,3> \\"q\\"\\\\"' in text
    assert json.loads(text)["HLSConfig"]["LayerName"] == {
        "fc1": {"Precision": {"weight": 'ap_fixed<8,3> "q"\\'}, "ReuseFactor": 2}
    }


def test_a_second_run_replaces_every_file_and_leaves_nothing_else(tmp_path):
    out = str(tmp_path / "prj") + "/"
    backend = get_backend("fpga")
    backend.build_bitstream(mlp(), out, project_name="first", write_to_disk=True)
    (tmp_path / "prj" / "notes.txt").write_text("mine")
    result = backend.build_bitstream(mlp((None, 784)), out, project_name="second", write_to_disk=True)
    assert result["written_files"] == expected_files(str(tmp_path / "prj"))  # no doubled separator
    assert result["written_files"][0] == out + "firmware/parameters.h"
    files = snapshot(out)
    assert sorted(files) == sorted(["notes.txt", *(os.path.relpath(p, out) for p in expected_files(out))])
    assert b"second" in files["build.py"] and b"first" not in files["build.py"] + files["build_prj.tcl"]


WRITE_TEMPLATES = templates.write_templates


def failing_templates(output_dir):
    WRITE_TEMPLATES(output_dir)
    raise OSError("disk full")


def folder_in_the_way(path):
    if path.is_file():
        path.unlink()
    path.mkdir(parents=True)


# fmt: off
@pytest.mark.parametrize("break_it, error, message", [
    (lambda monkeypatch, prj: monkeypatch.setattr(templates, "write_templates", failing_templates), OSError, "disk full"),
    (lambda monkeypatch, prj: monkeypatch.setattr(templates, "write_templates", lambda out: 5), TypeError,
     "'int' object is not iterable"),
    (lambda monkeypatch, prj: folder_in_the_way(prj / "build_prj.tcl"), IsADirectoryError, "Is a directory"),
    (lambda monkeypatch, prj: folder_in_the_way(prj / "firmware" / "nnet_utils" / "lif_model.h"),
     IsADirectoryError, "Is a directory"),
])
@pytest.mark.parametrize("earlier_project", [False, True])
def test_a_failure_leaves_the_folder_as_it_was(tmp_path, monkeypatch, break_it, error, message, earlier_project):
    prj = tmp_path / "prj"
    if earlier_project:
        get_backend("fpga").build_bitstream(mlp(), str(prj), project_name="earlier", write_to_disk=True)
    break_it(monkeypatch, prj)
    before = snapshot(tmp_path), sorted(root for root, _, _ in os.walk(tmp_path))
    with pytest.raises(error, match=message):
        get_backend("fpga").build_bitstream(mlp(), str(prj), project_name="later", write_to_disk=True)
    assert (snapshot(tmp_path), sorted(root for root, _, _ in os.walk(tmp_path))) == before
# fmt: on


# fmt: off
@pytest.mark.parametrize("graph, arguments, error, message", [
    (mlp((3, None, 8)), {}, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'NoneType'"),
    (mlp(), {"clock_period": 0}, ZeroDivisionError, "float division by zero"),
    (Graph({"t": Affine(np.ones((1, 1))), "x": LIF(np.zeros(1), np.ones(1))}), {}, ZeroDivisionError, "float division"),
    (Graph({}), {}, ValueError, "Graph validation failed: []"),
    (mlp(), {"project_name": "my net"}, ValueError, "must be a Python identifier"),
])
def test_nothing_is_written_when_a_text_cannot_be_made(tmp_path, graph, arguments, error, message):
    with pytest.raises(error) as info:
        get_backend("fpga").build_bitstream(graph, str(tmp_path / "prj"), write_to_disk=True, **arguments)
    assert message in str(info.value)
    assert list(tmp_path.iterdir()) == []
# fmt: on


# fmt: off
@pytest.mark.parametrize("arguments, error, message", [
    ({"output_dir": ""}, ValueError, "Argument 'output_dir' must name a folder to write the project to, got ''"),
    ({"output_dir": "a\0b"}, ValueError, "embedded null byte"),
    ({"output_dir": b"prj"}, TypeError, "Argument 'output_dir' has incorrect type (expected str, got bytes)"),
    ({"default_reuse_factor": "1"}, TypeError, "Argument 'default_reuse_factor' has incorrect type (expected int, got str)"),
    ({"bitstream_config": True}, TypeError, "Argument 'bitstream_config' has incorrect type (expected BitstreamConfig, got bool)"),
])
def test_argument_errors(tmp_path, monkeypatch, arguments, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as info:
        get_backend("fpga").build_bitstream(mlp(), write_to_disk=True, **arguments)
    assert str(info.value) == message
    assert list(tmp_path.iterdir()) == []
# fmt: on


def test_a_file_where_the_folder_should_be(tmp_path):
    (tmp_path / "prj").write_text("a file")
    with pytest.raises(FileExistsError) as info:
        get_backend("fpga").build_bitstream(mlp(), str(tmp_path / "prj"), write_to_disk=True)
    assert info.value.filename == str(tmp_path / "prj")
    assert (tmp_path / "prj").read_text() == "a file"


def torch_stand_in(save):
    return types.SimpleNamespace(save=save)


def half_written_save(model, path):
    with open(path, "wb") as file:
        file.write(b"PK\x03\x04 partial")
    raise RuntimeError(f"cannot pickle {type(model).__name__}")


def pickling_save(model, path):
    with open(path, "wb") as file:
        pickle.dump(model, file)


# fmt: off
@pytest.mark.parametrize("torch, message", [
    (torch_stand_in(half_written_save), "cannot pickle object"),
    (None, "import of torch halted; None in sys.modules"),
])
def test_a_failing_model_save_is_reported(tmp_path, monkeypatch, torch, message):
    monkeypatch.setitem(sys.modules, "torch", torch)
    prj = tmp_path / "prj"
    prj.mkdir()
    (prj / "model.pt").write_bytes(b"earlier model")
    result = get_backend("fpga").build_bitstream(mlp(), str(prj), write_to_disk=True, pytorch_model=object())
    assert list(result)[-2:] == ["pytorch_model_save_error", "written_files"]
    assert result["pytorch_model_save_error"] == message
    assert result["written_files"] == expected_files(str(prj))
    assert sorted(snapshot(prj)) == sorted(["model.pt", *(os.path.relpath(p, prj) for p in expected_files(str(prj)))])
    assert (prj / "model.pt").read_bytes() == b"earlier model"
# fmt: on


def test_the_model_is_saved_with_the_torch_save_operation(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", torch_stand_in(pickling_save))
    model = {"weights": [1.0, 2.0]}
    result = get_backend("fpga").build_bitstream(
        mlp(), str(tmp_path), write_to_disk=True, pytorch_model=model
    )
    assert result["written_files"] == [*expected_files(str(tmp_path)), f"{tmp_path}/model.pt"]
    assert pickle.loads((tmp_path / "model.pt").read_bytes()) == model
    assert not any(name.startswith(".") for name in os.listdir(tmp_path))


@pytest.mark.skipif(not TORCH, reason="needs PyTorch")
def test_a_real_pytorch_model(tmp_path):
    import torch

    torch.manual_seed(0)
    model = torch.nn.Sequential(torch.nn.Linear(4, 3), torch.nn.ReLU())
    result = get_backend("fpga").build_bitstream(
        mlp(), str(tmp_path), write_to_disk=True, pytorch_model=model
    )
    assert result["written_files"][-1] == f"{tmp_path}/model.pt"
    loaded = torch.load(tmp_path / "model.pt", weights_only=False)
    x = torch.rand(5, 4)
    assert torch.equal(loaded(x), model(x))


def test_write_templates_on_its_own(tmp_path):
    paths = templates.write_templates(str(tmp_path) + "/")
    assert paths == [f"{tmp_path}/firmware/nnet_utils/{name}" for name in HEADERS]
    assert sorted(snapshot(tmp_path)) == [f"firmware/nnet_utils/{name}" for name in sorted(HEADERS)]
    for name in HEADERS:
        text = (tmp_path / "firmware" / "nnet_utils" / name).read_text()
        guard = "ZELKA_NNET_" + name.upper().replace(".", "_") + "_"
        assert f"#ifndef {guard}\n#define {guard}\n" in text and "PARAMETERS_H_" not in text


def test_the_headers_are_written_all_or_nothing(tmp_path):
    folder = tmp_path / "prj" / templates.FOLDER
    (folder / templates.HEADERS[-1]).mkdir(parents=True)  # the last header cannot be written
    with pytest.raises(IsADirectoryError):
        templates.write_templates(str(tmp_path / "prj"))
    assert sorted(p.name for p in folder.iterdir()) == [templates.HEADERS[-1]]
    (folder / templates.HEADERS[-1]).rmdir()
    written = templates.write_templates(str(tmp_path / "prj"))
    assert [Path(p).read_bytes() for p in written] == [templates.header_bytes(n) for n in templates.HEADERS]
