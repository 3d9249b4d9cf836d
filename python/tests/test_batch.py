"""python3 -m qz_grindlet.batch on a generated corpus: the same outputs and manifest however it
runs, every input left intact, and nothing half-written after an interruption."""

import hashlib
import json
import os
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import soundfile

import qz_grindlet
from qz_grindlet import batch, settings

DRAW = ["--bits", "4:12", "--rate", "2000:16000", "--quantize", "round,floor,inside", "--mode", "step,linear", "--seed", "7"]
FORMATS = [("wav", "PCM_16"), ("wav", "FLOAT"), ("flac", "PCM_24"), ("ogg", "VORBIS"), ("aiff", "PCM_16"), ("au", "PCM_32"), ("w64", "DOUBLE"), ("caf", "PCM_16")]


def make_corpus(folder, files=32, frames=3000):
    rng = np.random.default_rng(3)
    for i in range(files):
        extension, subtype = FORMATS[i % len(FORMATS)]
        channels = 1 + i % 2
        where = folder / ("" if i < 10 else f"set{i % 3}") / ("deep" if i % 5 == 0 else "")
        where.mkdir(parents=True, exist_ok=True)
        signal_ = np.clip(0.4 * rng.standard_normal((frames + 97 * i, channels)), -1, 1)
        soundfile.write(where / f"take{i:02}.{extension}", signal_, (22050, 44100, 48000)[i % 3], subtype=subtype)
    (folder / "set1" / "broken.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEjunk")
    (folder / "readme.txt").write_text("not audio")


def snapshot(folder):
    return {
        str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
        for path in sorted(folder.rglob("*"))
        if path.is_file()
    }


def run_batch(in_dir, out_dir, *extra, check_exit=1, cwd=None):
    command = [sys.executable, "-m", "qz_grindlet.batch", str(in_dir), str(out_dir), *DRAW, *extra]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, cwd=cwd)
    assert done.returncode == check_exit, done.stderr
    return done


def manifest(out_dir):
    lines = (out_dir / batch.MANIFEST).read_text().splitlines()
    return sorted(lines)


def outputs(out_dir):
    """Every output's format and samples."""
    found = {}
    for path in sorted(out_dir.rglob("*")):
        if path.is_file() and path.name != batch.MANIFEST:
            info = soundfile.info(str(path))
            samples, _ = soundfile.read(str(path), dtype="float32")
            digest = hashlib.sha256(samples.tobytes()).hexdigest()
            found[str(path.relative_to(out_dir))] = (info.format, info.subtype, info.samplerate, info.channels, digest)
    return found


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    make_corpus(folder)
    return folder


@pytest.fixture(scope="module")
def reference(corpus, tmp_path_factory):
    """One run on one worker: what every other way of running must give."""
    out_dir = tmp_path_factory.mktemp("reference") / "out"
    before = snapshot(corpus)
    done = run_batch(corpus, out_dir, "--workers", "1")
    assert snapshot(corpus) == before
    assert done.stdout.splitlines()[-1] == "32 rendered, 1 failed, 0 skipped"
    assert "set1/broken.wav" in done.stderr
    return out_dir


def test_each_output_is_its_file_through_process_with_the_drawn_settings(corpus, reference):
    lines = [json.loads(line) for line in manifest(reference)]
    assert sorted(line["path"] for line in lines) == sorted(batch.find_inputs(str(corpus), str(reference)))
    specs = batch.parse_arguments(["i", "o", *DRAW])[1]
    for line in lines:
        assert line["settings"] == settings.draw(specs, 7, line["path"])
        if line["status"] == "failed":
            assert line["path"] == "set1/broken.wav" and line["frames"] is None
            continue
        source, target = corpus / line["path"], reference / line["path"]
        before, after = soundfile.info(str(source)), soundfile.info(str(target))
        assert (after.format, after.subtype, after.samplerate, after.channels, after.frames) == (
            before.format, before.subtype, before.samplerate, before.channels, before.frames)
        assert line["frames"] == before.frames
        if before.subtype in ("FLOAT", "DOUBLE"):
            audio, rate = soundfile.read(str(source), dtype="float32", always_2d=True)
            want = qz_grindlet.process(audio, rate, channels_last=True, **line["settings"])
            got, _ = soundfile.read(str(target), dtype="float32", always_2d=True)
            np.testing.assert_array_equal(got.view(np.uint32), want.view(np.uint32))


def test_two_workers_give_the_same_files_and_manifest(corpus, reference, tmp_path):
    run_batch(corpus, tmp_path / "out", "--workers", "2")
    assert outputs(tmp_path / "out") == outputs(reference)
    assert manifest(tmp_path / "out") == manifest(reference)
    # Byte for byte too: no time stamp in a float file, no random Ogg serial.
    written = {k: v for k, v in snapshot(tmp_path / "out").items() if k != batch.MANIFEST}
    assert written == {k: v for k, v in snapshot(reference).items() if k != batch.MANIFEST}


def test_a_dask_cluster_gives_the_same_files_and_manifest(corpus, reference, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        # Folders relative to where the batch runs, which is not where the workers run.
        run_batch(os.path.relpath(corpus, tmp_path), "out", "--scheduler", cluster.scheduler_address,
                  cwd=tmp_path)
    assert outputs(tmp_path / "out") == outputs(reference)
    assert manifest(tmp_path / "out") == manifest(reference)


HOLD = "set0/zz-hold.wav"  # a named pipe in the corpus: the batch cannot end until it is fed


def hold(corpus):
    """Makes the corpus's named pipe, and returns what feeds it: one read of a short WAV file,
    from a thread (a writer waits for its reader), for each run that should finish."""
    fifo = corpus / HOLD
    fifo.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(fifo)
    clip = corpus.parent / "hold-source.wav"
    soundfile.write(clip, np.full((2000, 2), 0.25), 22050, subtype="PCM_16")

    def feed():
        import threading

        def write():
            with open(fifo, "wb") as pipe:
                pipe.write(clip.read_bytes())

        feeder = threading.Thread(target=write, daemon=True)
        feeder.start()
        return feeder

    return feed


def start_batch_until(corpus, out_dir, lines, *extra):
    """A batch on two workers, started and left running once its manifest has this many lines.
    The corpus is held (see hold()): the batch is still running then, however fast the machine,
    until the test feeds the pipe."""
    command = [sys.executable, "-m", "qz_grindlet.batch", str(corpus), str(out_dir), *DRAW, "--workers", "2", *extra]
    running = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    written = out_dir / batch.MANIFEST
    while not (written.exists() and written.read_text().count("\n") >= lines):
        assert running.poll() is None, running.communicate()
        time.sleep(0.01)
    return running


def workers_of(process):
    return [int(pid) for pid in Path(f"/proc/{process.pid}/task/{process.pid}/children").read_text().split()]


def ended(pid):
    """Whether a process is gone (or a zombie: ended, only not yet reaped)."""
    try:
        state = Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return True
    return state[state.rfind(")") + 2] == "Z"


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupted_run_leaves_nothing_half_written_and_resumes_to_the_same_end(tmp_path, stop):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=40, frames=20000)
    feed = hold(corpus)
    out_dir = tmp_path / "out"
    running = start_batch_until(corpus, out_dir, 4)
    running.send_signal(stop)
    _, stderr = running.communicate(timeout=60)
    assert running.returncode == 128 + stop, stderr
    assert "--resume" in stderr
    assert not [p for p in out_dir.rglob("*") if p.name.endswith(batch.PARTIAL_SUFFIX)]
    finished = [json.loads(line) for line in manifest(out_dir)]
    assert 4 <= len(finished) < 41
    kept = sum(line["status"] == "rendered" for line in finished)

    feed()
    done = run_batch(corpus, out_dir, "--workers", "2", "--resume")
    assert done.stdout.splitlines()[-1] == f"{41 - kept} rendered, 1 failed, {kept} skipped"
    clean = tmp_path / "clean"
    feed()
    run_batch(corpus, clean, "--workers", "2")
    assert outputs(out_dir) == outputs(clean)
    last = {json.loads(line)["path"]: line for line in manifest(out_dir)}
    assert sorted(last.values()) == manifest(clean)


def test_a_killed_worker_is_retried_without_racing_its_first_attempt(tmp_path):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=24, frames=20000)
    feed = hold(corpus)
    out_dir = tmp_path / "out"
    running = start_batch_until(corpus, out_dir, 2)
    os.kill(workers_of(running)[0], signal.SIGKILL)
    feed()
    stdout, stderr = running.communicate(timeout=120)
    assert running.returncode == 1, stderr
    assert stdout.splitlines()[-1] == "25 rendered, 1 failed, 0 skipped", stderr
    assert not [p for p in out_dir.rglob("*") if p.name.endswith(batch.PARTIAL_SUFFIX)]
    clean = tmp_path / "clean"
    feed()
    run_batch(corpus, clean, "--workers", "1")
    assert outputs(out_dir) == outputs(clean)
    assert manifest(out_dir) == manifest(clean)


def test_a_resumed_run_redoes_what_the_manifest_does_not_vouch_for(corpus, reference, tmp_path):
    out_dir = tmp_path / "out"
    run_batch(corpus, out_dir, "--workers", "1")
    lines = (out_dir / batch.MANIFEST).read_text().splitlines(keepends=True)
    # An output removed, a torn last line for an output that was removed too, an output cut short
    # (no longer what the manifest records: not this batch's to replace), and a killed worker's
    # partial file.
    gone, torn, cut = (json.loads(lines[i])["path"] for i in (3, 5, 7))
    (out_dir / gone).unlink()
    (out_dir / torn).unlink()
    (out_dir / cut).write_bytes((out_dir / cut).read_bytes()[:100])
    (out_dir / batch.MANIFEST).write_text("".join(lines[:5] + lines[6:]) + lines[5][:20])
    (out_dir / "set0" / ".take03.wav.x-1.qz-grindlet-partial").parent.mkdir(exist_ok=True)
    (out_dir / "set0" / ".take03.wav.x-1.qz-grindlet-partial").write_bytes(b"left by a killed worker")
    done = run_batch(corpus, out_dir, "--workers", "2", "--resume")
    assert done.stdout.splitlines()[-1] == "2 rendered, 2 failed, 29 skipped", (gone, torn, cut)
    assert f"{cut}: " in done.stderr and "not replaced" in done.stderr
    assert len((out_dir / cut).read_bytes()) == 100
    expected = outputs(reference)
    del expected[cut]
    assert {k: v for k, v in outputs(out_dir).items() if k != cut} == expected
    assert not list(out_dir.rglob("*" + batch.PARTIAL_SUFFIX))


def test_a_file_it_did_not_write_is_never_replaced(corpus, tmp_path):
    out_dir = tmp_path / "out"
    (out_dir / "set2").mkdir(parents=True)
    theirs = out_dir / "set2" / "take11.ogg"
    theirs.write_bytes(b"someone's file")
    for resume in ((), ("--resume",)):  # and a resumed run leaves it too, reporting it again
        done = run_batch(corpus, out_dir, "--workers", "2", *resume)
        assert theirs.read_bytes() == b"someone's file"
        assert "set2/take11.ogg" in done.stderr and "not replaced" in done.stderr
    assert done.stdout.splitlines()[-1] == "0 rendered, 2 failed, 31 skipped"


def test_help_lists_every_control():
    done = subprocess.run([sys.executable, "-m", "qz_grindlet.batch", "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert all(f"--{symbol}" in done.stdout for symbol in settings.CONTROL)


def test_a_file_too_big_for_the_disk_fails_alone_and_leaves_no_partial_file(tmp_path):
    """Needs root to mount a small tmpfs; skipped where that is not allowed. The big file comes
    first and one worker renders in order, so that its partial file is gone again before the
    others are written and the manifest always has room."""
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for name, frames in [("a-big.wav", 60000), ("b.wav", 3000), ("c.wav", 3000), ("d.wav", 3000)]:
        noise = np.random.default_rng(frames).standard_normal((frames, 2)).clip(-1, 1).astype(np.float32)
        soundfile.write(corpus / name, noise, 44100, subtype="FLOAT")  # 480 kB and 24 kB each
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=300k", "tmpfs", str(disk)], capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a small tmpfs here: " + mounted.stderr.decode().strip())
    try:
        done = run_batch(corpus, disk / "out", "--workers", "1")
        assert done.stdout.splitlines()[-1] == "3 rendered, 1 failed, 0 skipped", done.stderr
        assert "a-big.wav: cannot write" in done.stderr and "(the disk is full)" in done.stderr
        assert sorted(p.name for p in (disk / "out").iterdir()) == [
            "b.wav", "c.wav", "d.wav", batch.MANIFEST]
    finally:
        subprocess.run(["umount", str(disk)], check=False)


def test_outputs_get_the_permissions_of_any_new_file(corpus, tmp_path):
    out_dir = tmp_path / "out"
    command = [sys.executable, "-m", "qz_grindlet.batch", str(corpus / "set0"), str(out_dir), "--workers", "1"]
    subprocess.run(command, capture_output=True, timeout=120, preexec_fn=lambda: os.umask(0o027))
    written = [path for path in out_dir.rglob("*") if path.is_file()]
    assert written and {stat.S_IMODE(path.stat().st_mode) for path in written} == {0o640}


@pytest.mark.parametrize(
    "arguments, words",
    [
        (["{corpus}", "{corpus}"], "OUT_DIR is IN_DIR"),
        (["{corpus}/missing", "{out}"], "not a folder"),
        (["{corpus}", "{earlier}"], "--resume"),
        (["{corpus}/set0", "{corpus}"], "would replace the input"),
        (["{corpus}", "{out}", "--bits", "4:40"], "--bits"),
        (["{corpus}", "{out}", "--rate", "0:100"], "--rate"),
        (["{corpus}", "{out}", "--quantize", "round,near"], "--quantize"),
        (["{corpus}", "{out}", "--bits", "12:4"], "backwards"),
        (["{corpus}", "{out}", "--workers", "0"], "--workers"),
    ],
)
def test_a_run_that_cannot_go_as_asked_writes_nothing(tmp_path, arguments, words):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=12)
    # corpus/set0/set0/a.wav rendered from corpus/set0 into corpus would land on corpus/set0/a.wav.
    (corpus / "set0" / "set0").mkdir(parents=True)
    for copy in (corpus / "set0" / "a.wav", corpus / "set0" / "set0" / "a.wav"):
        copy.write_bytes((corpus / "take01.wav").read_bytes())
    earlier = tmp_path / "earlier"
    earlier.mkdir()
    (earlier / batch.MANIFEST).write_text("")
    before = snapshot(tmp_path)
    names = dict(corpus=corpus, out=tmp_path / "out", earlier=earlier)
    command = [sys.executable, "-m", "qz_grindlet.batch", *[a.format(**names) for a in arguments]]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2, done.stderr
    assert words in done.stderr
    assert snapshot(tmp_path) == before
    assert not (tmp_path / "out").exists()


def test_the_workers_end_with_their_coordinator_however_it_ends(tmp_path):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=12)
    feed = hold(corpus)
    out_dir = tmp_path / "out"
    running = start_batch_until(corpus, out_dir, 2)
    workers = workers_of(running)
    assert len(workers) == 2
    running.kill()
    running.communicate(timeout=60)
    # The kernel tells the workers at once; a slow machine takes its time to unwind them.
    deadline = time.monotonic() + 120
    while not all(ended(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert all(ended(pid) for pid in workers)
    # What the killed run left, a resumed run finishes.
    feed()
    done = run_batch(corpus, out_dir, "--workers", "2", "--resume")
    rendered, failed, skipped = (int(word) for word in done.stdout.split()[-6::2])
    assert (rendered + skipped, failed) == (13, 1) and "not replaced" not in done.stderr, done.stderr
    assert not list(out_dir.rglob("*" + batch.PARTIAL_SUFFIX))


def test_one_batch_at_a_time_writes_into_a_folder(tmp_path):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=12)
    feed = hold(corpus)
    out_dir = tmp_path / "out"
    running = start_batch_until(corpus, out_dir, 2)
    before = snapshot(out_dir)
    for resume in ((), ("--resume",)):
        second = run_batch(corpus, out_dir, "--workers", "1", *resume, check_exit=2)
        assert "in use by another batch" in second.stderr
    assert snapshot(out_dir) == before or running.poll() is None  # the first went on alone
    feed()
    stdout, stderr = running.communicate(timeout=120)
    assert stdout.splitlines()[-1] == "13 rendered, 1 failed, 0 skipped", stderr
    done = run_batch(corpus, out_dir, "--workers", "1", "--resume")  # and the folder is free again
    assert done.stdout.splitlines()[-1] == "0 rendered, 1 failed, 13 skipped"


def test_a_resume_keeps_every_output_its_manifest_or_its_placing_vouches_for(corpus, tmp_path):
    out_dir = tmp_path / "out"
    run_batch(corpus, out_dir, "--workers", "2")
    lines = (out_dir / batch.MANIFEST).read_text().splitlines(keepends=True)
    entries = [json.loads(line) for line in lines]
    rendered = [e["path"] for e in entries if e["status"] == "rendered"]
    # A re-render that failed after the output was in place (a full disk, say): its "failed"
    # line is the last; and a run killed between linking an output and recording it: no line,
    # but the attempt's partial file still links to the output.
    failed_after, killed_before = rendered[0], rendered[1]
    failure = dict(next(e for e in entries if e["path"] == failed_after), status="failed",
                   frames=None, error="No space left on device")
    failure.pop("bytes", None)
    kept = [line for line in lines if json.loads(line)["path"] != killed_before]
    (out_dir / batch.MANIFEST).write_text("".join(kept) + json.dumps(failure, sort_keys=True) + "\n")
    target = out_dir / killed_before
    os.link(target, batch.partial_name(str(target), "0123abcd", 1))
    # Another seed: every output is to be rendered again, and replaced where it is this batch's.
    again = [a if a != "7" else "8" for a in DRAW]
    done = subprocess.run([sys.executable, "-m", "qz_grindlet.batch", str(corpus), str(out_dir), *again,
                           "--workers", "2", "--resume"], capture_output=True, text=True, timeout=300)
    assert done.stdout.splitlines()[-1] == f"{len(rendered)} rendered, 1 failed, 0 skipped", done.stderr
    assert "not replaced" not in done.stderr
    assert not list(out_dir.rglob("*" + batch.PARTIAL_SUFFIX))


def test_any_file_name_the_file_system_holds_is_rendered(tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    name = b"caf\xe9 \xff.wav"  # Latin-1, not UTF-8
    soundfile.write(corpus / "plain.wav", np.full((500, 1), 0.25), 22050, subtype="PCM_16")
    os.rename(corpus / "plain.wav", os.path.join(os.fsencode(corpus), name))
    out_dir = tmp_path / "out"
    done = run_batch(corpus, out_dir, "--workers", "1", check_exit=0)
    assert done.stdout.splitlines()[-1] == "1 rendered, 0 failed, 0 skipped", done.stderr
    assert os.path.exists(os.path.join(os.fsencode(out_dir), name))
    line = json.loads((out_dir / batch.MANIFEST).read_text())
    assert os.fsencode(line["path"]) == name


def test_a_preset_starts_every_files_settings_and_the_controls_named_draw(tmp_path):
    corpus = tmp_path / "corpus"
    make_corpus(corpus, files=12)
    out_dir = tmp_path / "out"
    done = subprocess.run([sys.executable, "-m", "qz_grindlet.batch", str(corpus), str(out_dir),
                           "--preset", "chiptune", "--bits", "5:7", "--workers", "1"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stderr  # the corpus's one broken file
    lines = [json.loads(line) for line in manifest(out_dir)]
    rendered = [line["settings"] for line in lines if line["status"] == "rendered"]
    assert len(rendered) == 12
    assert all(s["rate"] == 16000 and s["drive"] == 3 and 5 <= s["bits"] <= 7 for s in rendered)
