"""The documentation as users read it.

Every Python block of the README and of the documents below runs and prints
the text block that follows it; the presets table is the presets' own text;
the supported versions that the documents, cibuildwheel and the kit example
name are those of pyproject.toml's classifiers; and the set-up commands
exist and are the ones CI runs.
"""

import contextlib
import io
import pathlib
import re
import tomllib
import uuid

import can
import pytest
from tervalin import MitLimits

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCUMENTS = ["README.md", "CONTRIBUTING.md", "docs/behaviour.md", "docs/platforms.md", "docs/performance.md"]
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
VERSION_CLASSIFIER = re.compile(r"Programming Language :: Python :: (3\.\d+)")
ARCHITECTURES = ("x86_64", "aarch64")

# A fenced block: its language and its text.
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
# The hardware a program may name, and what the test runs it on instead.
HARDWARE = 'interface="socketcan"'
CHANNEL = re.compile(r'channel="[^"]*"')


def read(document):
    return (ROOT / document).read_text()


def supported_versions():
    """The supported CPython versions: pyproject.toml's classifiers, oldest first."""
    found = [VERSION_CLASSIFIER.fullmatch(c) for c in PYPROJECT["project"]["classifiers"]]
    return sorted((m[1] for m in found if m), key=lambda v: tuple(map(int, v.split("."))))


def python_blocks():
    """(document, program, expected output or None) for every Python block, as test parameters. The output
    is the first text block after the program, before the next Python block."""
    params = []
    for document in DOCUMENTS:
        blocks = FENCE.findall(read(document))
        programs = [i for i, (language, _) in enumerate(blocks) if language == "python"]
        for number, i in enumerate(programs, 1):
            following = blocks[i + 1 : programs[number] if number < len(programs) else len(blocks)]
            outputs = [text for language, text in following if language == "text"]
            params.append(
                pytest.param(document, blocks[i][1], outputs[0] if outputs else None, id=f"{document}-{number}")
            )
    return params


def section(document, heading, marker):
    """The lines between a document's marker comment and its end marker, past the heading row."""
    text = read(document)
    assert f"<!-- {marker}: checked by tests/dm/test_docs.py -->\n" in text, (document, marker)
    body = text.split(f"<!-- {marker}: checked by tests/dm/test_docs.py -->\n", 1)[1]
    table = body.split(f"<!-- end of {marker} -->", 1)[0].splitlines()
    assert table[0].startswith(heading), table[0]
    return [[cell.strip() for cell in row.strip("|").split("|")] for row in table[2:]]


@pytest.mark.parametrize("document, program, expected", python_blocks())
def test_python_block_runs_and_prints_what_follows_it(document, program, expected):
    from tervalin_dm.sim import SimulatedMotor

    # Each block gets channels of its own, so that no other test's frames reach it.
    channel = f"docs-{uuid.uuid4()}"
    program = CHANNEL.sub(f'channel="{channel}"', program)
    output = io.StringIO()
    with contextlib.ExitStack() as stack:
        if HARDWARE in program:
            program = program.replace(HARDWARE, 'interface="virtual"')
            # A simulated motor answers as the program's own handle, which
            # its definitions up to the first bus give.
            namespace = {}
            exec(program.split("with can.Bus")[0], namespace)
            motor_side = stack.enter_context(can.Bus(interface="virtual", channel=channel))
            stack.enter_context(SimulatedMotor(motor_side, namespace["motor"]))
        with contextlib.redirect_stdout(output):
            exec(compile(program, document, "exec"), {"__name__": "__docs__"})
    if expected is not None:
        assert output.getvalue() == expected, output.getvalue()


def test_documents_show_python_blocks_with_their_output():
    # The README's first program and its motor program each show what they print.
    with_output = [p for p in python_blocks() if p.values[0] == "README.md" and p.values[2] is not None]
    assert len(with_output) >= 2, [p.id for p in python_blocks()]


def preset_rows():
    """The presets table made from the presets themselves, in their shortest texts."""
    presets = [name for name, member in vars(MitLimits).items() if isinstance(member, staticmethod)]
    rows = []
    for name in presets:
        text = repr(getattr(MitLimits, name)())
        fields = re.fullmatch(r"MitLimits\(p_max=(.*), v_max=(.*), kp_max=(.*), kd_max=(.*), t_max=(.*)\)", text)
        rows.append([f"`{name}`", *fields.groups()])
    return rows


def test_readme_presets_table_is_the_presets():
    rows = section("README.md", "| preset |", "presets")
    assert len(preset_rows()) == 15
    assert rows == preset_rows(), "the README's presets table should read:\n" + "\n".join(
        "| " + " | ".join(row) + " |" for row in preset_rows()
    )


def test_classifiers_name_consecutive_versions():
    versions = supported_versions()
    minors = [int(v.split(".")[1]) for v in versions]
    assert versions and minors == list(range(minors[0], minors[-1] + 1)), versions
    assert PYPROJECT["project"]["requires-python"] == f">={versions[0]}"


def test_readme_platforms_table_names_the_supported_versions():
    rows = section("README.md", "| CPython | x86_64 | aarch64 |", "platforms")
    assert rows == [[version, "wheel", "wheel"] for version in supported_versions()]


def test_platforms_document_has_a_cell_for_every_version_and_architecture():
    rows = section("docs/platforms.md", "| cell |", "cells")
    cells = [row[0] for row in rows]
    assert sorted(cells) == sorted(f"{v}-{a}" for v in supported_versions() for a in ARCHITECTURES)


def test_cibuildwheel_builds_the_supported_versions():
    build = PYPROJECT["tool"]["cibuildwheel"]["build"]
    assert build == [f"cp{version.replace('.', '')}-manylinux_*" for version in supported_versions()]


@pytest.mark.parametrize("path", ["README.md", "examples/kit_extension/CMakeLists.txt"])
def test_cmake_snippets_ask_for_the_oldest_supported_version(path):
    # A separately built extension asks for no newer interpreter than tervalin supports, and sets no upper
    # bound that a new release would have to lift.
    asked = re.findall(r"find_package\(Python (\S+) REQUIRED", read(path))
    assert asked == [supported_versions()[0]], asked


def setup_commands():
    """The commands of the README's set-up block."""
    text = read("README.md").split("\n## Working on tervalin\n", 1)[1]
    language, block = FENCE.findall(text)[0]
    assert language == "sh"
    return block.splitlines()


def test_readme_gives_two_setup_commands_and_ci_runs_the_second():
    commands = setup_commands()
    assert len(commands) == 2, commands
    for command in commands:
        program, script = command.split()
        assert program == "bash" and (ROOT / script).is_file(), command
    # A step of CI is the command itself, or the command handed to its step function.
    steps = [line.split() for line in read(".ci/run").splitlines() if not line.lstrip().startswith("#")]
    assert any(words[-2:] == commands[1].split() and len(words) <= 3 for words in steps), read(".ci/run")


@pytest.mark.parametrize("document", ["README.md", "CONTRIBUTING.md", "docs/platforms.md"])
def test_shell_commands_name_existing_scripts(document):
    scripts = [
        word
        for language, block in FENCE.findall(read(document))
        if language == "sh"
        for line in block.splitlines()
        for word in re.findall(r"^bash (\S+)", line.strip())
    ]
    missing = [script for script in scripts if not (ROOT / script).is_file()]
    assert not missing, missing
