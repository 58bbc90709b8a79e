# cmake --install into a temporary prefix, then moved elsewhere: the files the
# package promises, an installed mirvo-record that runs the deliverables
# beside it, and a C consumer built through pkg-config and through
# find_package (tests/install/consumer), run against a private Xvfb.
import os
import re
import subprocess

from conftest import RED


def run(*argv, **kw):
    r = subprocess.run([str(a) for a in argv], capture_output=True, text=True, timeout=300, **kw)
    assert r.returncode == 0, (argv, r.stdout, r.stderr)
    return r.stdout


def test_installed_package_is_complete_relocatable_and_usable(build, xvfb, tmp_path):
    prefix, moved = tmp_path / "prefix", tmp_path / "moved"
    consumer = build.root / "tests/install/consumer"
    run("cmake", "--install", build.dir, "--prefix", prefix)
    assert all((prefix / f).is_file() for f in [
        "bin/mirvo-sck-audio", "bin/mirvo-record", "lib/libmirvo_sck.so", "include/mirvo_sck.h",
        "lib/pkgconfig/mirvo_sck.pc", "lib/cmake/mirvo_sck/mirvo_sck-config.cmake",
        "lib/cmake/mirvo_sck/mirvo_sck-config-version.cmake"])
    assert os.access(prefix / "bin/mirvo-sck-audio", os.X_OK)
    # Not the build tree's deliverables, which are still there.
    usage = run(prefix / "bin/mirvo-record", "--help")
    assert f"(default {prefix}/bin/mirvo-sck-audio)" in usage
    assert f"(default {prefix}/bin/../lib/libmirvo_sck.so)" in usage
    prefix.rename(moved)  # both package files must find the prefix where it is now
    pc = lambda *a: run("pkg-config", *a, "mirvo_sck",
                        env=dict(os.environ, PKG_CONFIG_PATH=f"{moved}/lib/pkgconfig")).split()
    assert pc("--modversion") == re.findall(r"project\(mirvo_sck VERSION ([\d.]+)",
                                            (build.root / "CMakeLists.txt").read_text())
    run("cc", "-std=c11", "-Wall", "-Werror", consumer / "consumer.c", *pc("--cflags", "--libs"),
        f"-Wl,-rpath,{pc('--variable=libdir')[0]}", "-o", tmp_path / "consumer-pc")
    run("cmake", "-S", consumer, "-B", tmp_path / "cm", f"-DCMAKE_PREFIX_PATH={moved}")
    run("cmake", "--build", tmp_path / "cm")
    for exe in (tmp_path / "consumer-pc", tmp_path / "cm" / "consumer"):
        r = subprocess.run([exe, xvfb.display], capture_output=True, text=True, timeout=30)
        assert (r.returncode, r.stdout, r.stderr) == (
            0, "consumer: top left Y %d Cb %d Cr %d\nconsumer: ok\n" % RED,
            'sck-video: cannot open X display ":65000"\n')
