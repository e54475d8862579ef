"""Builds and runs the C++ checks of the owned-reference type and of the
error convention."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SUPPORT = HERE.parents[1] / "native" / "support"


# The compiler of the build under test (make test CXX=...).
CXX = os.environ.get("CXX", "g++")


@pytest.mark.skipif(shutil.which(CXX) is None, reason="needs a C++ compiler")
def test_owner_type_moves_and_releases_exactly(tmp_path):
    include = sysconfig.get_paths()["include"]
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    exe = tmp_path / "ref_owner"
    compile_cmd = [
        CXX, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-UNDEBUG", "-O1",
        f"-I{include}", str(HERE / "ref_owner.cpp"), str(SUPPORT / "errors.cpp"), "-o", str(exe),
        f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}",
    ]
    subprocess.run(compile_cmd, check=True, capture_output=True, text=True)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["PYTHONHOME"] = sys.base_prefix
    result = subprocess.run([str(exe)], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
