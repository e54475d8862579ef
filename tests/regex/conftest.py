"""Builds the regular-expression engine for its own tests: a test-only
extension module (`regex_probe`, over the engine's search, substitution and
table scan) and the C++ checks, from the sources in native/regex, with the
development flags, and with the sanitizers when the run preloads them
(make test SANITIZE=ON)."""

from __future__ import annotations

import concurrent.futures
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sysconfig

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
ENGINE = sorted((ROOT / "native" / "regex").glob("*.cpp"))
# The probe's entry points follow the support layer's error convention;
# the engine measures the stack as the support layer's recursion guard does.
SUPPORT = [ROOT / "native" / "support" / "errors.cpp", ROOT / "native" / "support" / "recursion.cpp"]
# The checks need only the engine's core, not its Python front end, and
# the support layer's stack measure.
CORE = [p for p in ENGINE if p.stem in {"char_class", "compiler", "prefilter", "table_scan", "byte_filter", "literals", "program",
                                                       "literal_search"}] + [
    ROOT / "native" / "support" / "recursion.cpp"]

FLAGS = [
    "-std=c++20", "-O1", "-g", "-fPIC", "-UNDEBUG",
    "-Wall", "-Wextra", "-Wpedantic", "-Wconversion", "-Wno-sign-conversion",
    "-Wno-missing-field-initializers", "-Werror",
]


def sanitized() -> bool:
    return "libasan" in os.environ.get("LD_PRELOAD", "")


def compile_flags() -> list[str]:
    flags = FLAGS + [f"-I{sysconfig.get_paths()['include']}"]
    if sanitized():
        flags += ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer"]
    return flags


class Build:
    def __init__(self, directory: pathlib.Path):
        self.directory = directory
        self.objects: dict[pathlib.Path, pathlib.Path] = {}

    def compile(self, sources: list[pathlib.Path]) -> None:
        todo = [s for s in sources if s not in self.objects]

        def one(source: pathlib.Path) -> pathlib.Path:
            target = self.directory / f"{source.parent.name}_{source.stem}.o"
            run(["g++", *compile_flags(), "-c", str(source), "-o", str(target)])
            return target

        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            for source, target in zip(todo, pool.map(one, todo)):
                self.objects[source] = target

    def link(self, sources: list[pathlib.Path], output: pathlib.Path, extra: list[str]) -> pathlib.Path:
        self.compile(sources)
        sanitize = ["-fsanitize=address,undefined"] if sanitized() else []
        run(["g++", *sanitize, *[str(self.objects[s]) for s in sources], "-o", str(output), *extra])
        return output


def run(command: list[str]) -> None:
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}\n{result.stdout}\n{result.stderr}")


@pytest.fixture(scope="session")
def engine_build(tmp_path_factory) -> Build:
    if shutil.which("g++") is None:
        pytest.skip("needs a C++ compiler")
    return Build(tmp_path_factory.mktemp("regex_engine"))


@pytest.fixture(scope="session")
def probe(engine_build):
    """The test-only module over the engine."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    path = engine_build.link(ENGINE + SUPPORT + [HERE / "probe.cpp"], engine_build.directory / f"regex_probe{suffix}",
                             ["-shared"])
    module_spec = importlib.util.spec_from_file_location("regex_probe", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def engine_checks(engine_build) -> pathlib.Path:
    """The C++ checks, as an executable."""
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION") or sysconfig.get_config_var("VERSION")
    return engine_build.link(CORE + [HERE / "engine_checks.cpp"], engine_build.directory / "engine_checks",
                             [f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-lpython{version}"])
