"""Graphs saved to one file and loaded again, exactly.

A graph file is a zip archive of uncompressed entries: ``manifest.json`` first, then
``arrays/0.npy``, ``arrays/1.npy``, ... in numpy's ``.npy`` format.  The manifest is JSON::

    {"format": "zelka-graph", "version": 1,
     "graph": {"nodes": [{"name": "fc", "kind": "Affine", "attributes": {...}}, ...],
               "edges": [...], "cyclic_config": ...}}

Attribute values keep their exact type: JSON null, booleans, integers (any size; this Python
writes and reads those of up to ``sys.get_int_max_str_digits()`` digits), floats
(written with a decimal point or exponent, NaN and infinities as ``NaN``/``Infinity``) and
strings stand for themselves, and a JSON list for a Python list; anything else is an object
with one tag: ``{"tuple": [...]}``, ``{"dict": [[key, value], ...]}`` (str keys, in order),
``{"complex": [re, im]}``, ``{"code_points": [...]}`` (a str holding lone surrogates, which
UTF-8 cannot carry), ``{"array": n, "dtype": "<f4", "shape": [...]}`` (``arrays/n.npy``),
``{"scalar": n, "dtype": "<f4"}`` (a numpy scalar, stored as a 0-d ``arrays/n.npy``) and
``{"graph": {...}}`` (a graph held by a node, such as ``HybridRegion.subgraph``).

Why this form: nothing in it is executed or unpickled on load, only the node kinds of
:mod:`zelka.ir` are made; every part opens with common tools (``unzip``, ``numpy.load`` on
each array, any JSON reader); arrays keep their dtype, byte order and values bit for bit;
and entries are stored uncompressed, so a file's size bounds what loading it allocates.
The integer ``version`` changes whenever a file of the new form would be misread by a reader
of the old one, and readers refuse versions they do not know rather than guess.
"""

from __future__ import annotations

import os
from typing import cast

from zelka import _io
from zelka.ir import Graph


def save(graph: Graph, path: str | bytes | os.PathLike) -> None:
    """Write `graph` to the file `path`, replacing any file there.

    The file is written under a temporary name beside `path` and renamed over it once
    complete, so `path` holds either the old file or the whole new one.  Only a regular file
    is replaced: a symbolic link is followed to the file it leads to (through any chain of
    links), which is written beside and replaced while the links stay as they are; a link
    leading nowhere gets the file it names made, as ``open(path, "w")`` would.  A path naming
    (or leading to) a directory, FIFO, socket or device is refused with a ValueError naming
    it and what it is, before anything is written.  Node names must be
    str; attribute values, edges and ``cyclic_config`` may be None, bool, int, float, complex,
    str, list, tuple, dict with str keys, numpy arrays and scalars of numeric or bool dtypes
    (of any byte order), and graphs, nested up to 512 levels of the manifest.  A ValueError
    names the node and attribute (or edge) holding anything else, such as an object array,
    or an int of more digits than ``sys.get_int_max_str_digits()`` (Python's limit on the
    digits it converts; ``sys.set_int_max_str_digits`` raises it for saving and loading alike);
    a file needing more than 65534 arrays or 4 GiB is refused too.  An array held by several
    attributes is stored once and loads as one array.
    """
    _io.save_graph(graph, path)


def load(path: str | bytes | os.PathLike) -> Graph:
    """The graph saved in the file `path`: equal node names, kinds and attributes (with their
    types, dtypes and shapes), edges in order and ``cyclic_config``.

    A ValueError names the file and what is wrong when it is not a graph file, has a format
    version other than 1, or is damaged: truncated, records or arrays whose sizes disagree
    with what is there, an array whose dtype or shape differs from the manifest's, entry
    names that are absolute or leave the archive, entries repeated, compressed or encrypted,
    dtypes other than numeric and bool ones, shapes no numpy array takes.  Declared sizes are
    checked against the file before anything is allocated for them.  Only a regular file is
    read, at most the size it had when opened (Ctrl-C stops the reading): a directory, FIFO,
    socket or device is refused at once with a ValueError naming the path and what it is,
    such as "g.zelka is a FIFO, not a graph file".  OSError when the file cannot be read.
    """
    return cast(Graph, _io.load_graph(path))


__all__ = ["load", "save"]
