"""Build rules of the zarvel extension: the library's C++ sources compiled
into the extension module together with the binding, several at a time."""

import glob
import os
from concurrent.futures import ThreadPoolExecutor

from setuptools import Extension
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The flags of the library's own object build (CMakeLists.txt, zarvel_objects):
# nothing throws and nothing needs run-time type information. -g0 keeps the
# objects small; the interpreter's own flags would add debug information.
LIBRARY_FLAGS = [
    "-std=c++20", "-fno-exceptions", "-fno-rtti",
    "-fvisibility=hidden", "-fvisibility-inlines-hidden", "-g0",
]


def _relative(path):
    return os.path.relpath(path, ROOT)


def _sources():
    library = sorted(glob.glob(os.path.join(ROOT, "src", "**", "*.cpp"), recursive=True))
    binding = [os.path.join(ROOT, "python", "zarvel", "_zarvel.cpp")]
    return [_relative(p) for p in binding + library]


class ParallelBuildExt(build_ext):
    """Compiles every source file as its own job; the stock command compiles
    the files of one extension one after another."""

    def build_extension(self, ext):
        compiler = self.compiler
        serial_compile = compiler.compile
        jobs = int(os.environ.get("ZARVEL_BUILD_JOBS") or os.cpu_count() or 1)

        def compile_one(source, **kwargs):
            return serial_compile([source], **kwargs)

        def parallel_compile(sources, output_dir=None, macros=None, include_dirs=None,
                             debug=0, extra_preargs=None, extra_postargs=None, depends=None):
            kwargs = dict(output_dir=output_dir, macros=macros, include_dirs=include_dirs,
                          debug=debug, extra_preargs=extra_preargs,
                          extra_postargs=extra_postargs, depends=depends)
            with ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
                results = list(pool.map(lambda s: compile_one(s, **kwargs), sources))
            return [obj for objs in results for obj in objs]

        compiler.compile = parallel_compile
        try:
            super().build_extension(ext)
        finally:
            compiler.compile = serial_compile


def setup_arguments():
    extension = Extension(
        "zarvel._zarvel",
        sources=_sources(),
        include_dirs=["include", "src"],
        define_macros=[("ZARVEL_BUILDING", "1")],
        extra_compile_args=LIBRARY_FLAGS,
        # Only the module's entry point leaves the extension.
        extra_link_args=["-Wl,--version-script=" + _relative(os.path.join(ROOT, "python", "zarvel.map")),
                         "-lstdc++"],
        language="c++",
    )
    # Build products stay out of the source folders (build*/ is ignored).
    build_base = os.environ.get("ZARVEL_PYTHON_BUILD_DIR") or os.path.join("build", "pip")
    os.makedirs(build_base, exist_ok=True)
    options = {"build": {"build_base": build_base}, "egg_info": {"egg_base": build_base}}
    return dict(ext_modules=[extension], cmdclass={"build_ext": ParallelBuildExt}, options=options)
