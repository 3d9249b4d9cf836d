"""The typing stub against the extension itself: every name, every parameter and default, and
every control of the table as a property."""
import ast
import inspect
import pathlib

import qz_grindlet
from qz_grindlet import _grindlet

STUB = pathlib.Path(__file__).resolve().parents[1] / "qz_grindlet" / "_grindlet.pyi"


def stub_functions():
    """name -> (parameter names in order, their default texts), for functions and methods of
    the public classes."""
    found = {}
    for node in ast.walk(ast.parse(STUB.read_text())):
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    # The package's own plumbing (_Augmenter) is left out.
                    item.name = f"{node.name}.{item.name}" if node.name[0] != "_" else "_"
        if isinstance(node, ast.FunctionDef) and not any(
                isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list):
            args = node.args
            names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
            defaults = [ast.literal_eval(d) for d in args.defaults] + [
                None if d is None else ast.literal_eval(d) for d in args.kw_defaults]
            if node.name != "_":
                found[node.name] = (names, defaults)
    return found


def runtime_parameters(function):
    parameters = list(inspect.signature(function).parameters.values())
    return ([p.name for p in parameters],
            [None if p.default is inspect.Parameter.empty else p.default for p in parameters])


def test_the_stub_names_every_parameter_and_default_of_the_extension():
    stub = stub_functions()
    runtime = {"process": _grindlet.process, "_render_file": _grindlet._render_file,
               "Grindlet.__init__": _grindlet.Grindlet.__init__, "Grindlet.process": _grindlet.Grindlet.process,
               "Grindlet.set": _grindlet.Grindlet.set, "Grindlet.reset": _grindlet.Grindlet.reset}
    assert set(stub) == set(runtime)
    for name, function in runtime.items():
        names, defaults = runtime_parameters(function)
        assert stub[name][0] == names, name
        assert [d for d in stub[name][1] if d is not None] == [d for d in defaults if d is not None], name


def test_the_stub_has_every_control_as_a_property_and_the_package_says_it_is_typed():
    text = STUB.read_text()
    for row in qz_grindlet.CONTROLS:
        assert f"def {row['symbol']}(self)" in text
    assert (STUB.parent / "py.typed").exists()


def test_mypy_accepts_a_typed_use_and_refuses_a_wrong_one(tmp_path):
    """Where Debian's mypy is installed: the stub types a real use, and catches a wrong one."""
    import subprocess
    import sys

    pytest = __import__("pytest")
    if subprocess.run([sys.executable, "-m", "mypy", "--version"], capture_output=True).returncode != 0:
        pytest.skip("mypy is not installed")
    package = pathlib.Path(qz_grindlet.__file__).parent
    example = pathlib.Path(__file__).with_name("typed_example.py")
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import qz_grindlet\nqz_grindlet.process([1.0], 44100, quantize='nearest')\n"
                     "qz_grindlet.RandomGrindlet(bitz=(4, 12))\n")
    # Installed (a virtual environment): mypy finds it by py.typed; from the build tree: by MYPYPATH.
    env = {"PATH": "/usr/bin:/bin"}
    if "site-packages" not in package.parts:
        env["MYPYPATH"] = str(package.parent)
    # PyTorch, where installed, is left unread: mypy takes a minute over it, and the package
    # only converts tensors.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nignore_missing_imports = True\n"
                      "[mypy-torch,torch.*]\nfollow_imports = skip\n")
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--config-file", str(config),
         "--cache-dir", str(tmp_path / "cache"), str(example), str(wrong)],
        capture_output=True, text=True, env=env)
    errors = [line for line in checked.stdout.splitlines() if ": error:" in line]
    # mypy names files as given or relative to its working folder: the wrong use alone errs.
    assert errors, checked.stdout
    assert all(pathlib.Path(line.split(":", 1)[0]).name == wrong.name for line in errors), \
        checked.stdout
    assert any("quantize" in line for line in errors), checked.stdout
    assert any('"bitz"' in line for line in errors), checked.stdout
