"""The one-step install: a wheel that carries the library, tagged for this
platform, installed into a fresh venv that sees Debian's numpy; and the
package's types, as a user's type checker sees them."""

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import q583

SOURCE = Path(q583.__file__).resolve().parent.parent


def test_wheel_carries_the_library_into_a_venv(tmp_path):
    # Built from a copy, so that nothing is left in the source tree.
    source = tmp_path / "src"
    source.mkdir()
    for name in ("pyproject.toml", "setup.py", "README.md"):
        shutil.copy(SOURCE / name, source)
    shutil.copytree(SOURCE / "q583", source / "q583", ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
    env = dict(os.environ, Q583_SP_LIBRARY=q583.library()._name)
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps", "--no-index",
                    "-w", str(tmp_path / "dist"), str(source)], env=env, check=True, capture_output=True)
    (wheel,) = (tmp_path / "dist").glob("q583-*.whl")
    assert wheel.name.endswith(f"-py3-none-linux_{os.uname().machine}.whl")
    assert any(name.endswith("q583/libQ583_SP.so") for name in zipfile.ZipFile(wheel).namelist())

    # A fresh shell: no package or library named by the environment.
    env = {k: v for k, v in os.environ.items() if k not in ("Q583_SP_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], env=env, check=True)
    python = str(venv / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)], env=env,
                   check=True, capture_output=True)
    found = subprocess.run([python, "-c", "import q583; print(q583.library()._name)"], env=env, cwd=tmp_path,
                           capture_output=True, text=True, check=True).stdout.strip()
    assert found == str(venv / "lib" / f"python{sys.version_info[0]}.{sys.version_info[1]}" / "site-packages"
                        / "q583" / "libQ583_SP.so")


def test_a_type_checker_takes_the_settings_and_both_conversions(tmp_path, monkeypatch):
    from mypy import api  # pylint: disable=import-outside-toplevel

    use = tmp_path / "use.py"
    use.write_text("import numpy as np\nimport numpy.typing as npt\nimport q583\n\n\n"
                   "def use(dev: q583.Q583) -> 'tuple[float, npt.NDArray[np.float64]]':\n"
                   "    dev.interval = 0.5\n"
                   "    return dev.convert(0), dev.convert(0, count=3)\n")
    monkeypatch.setenv("MYPYPATH", str(SOURCE))
    report, _, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), str(use)])
    assert status == 0, report
