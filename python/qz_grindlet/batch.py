"""Renders a folder tree of audio files through QZ-Grindlet, on this machine or a Dask cluster.

    python3 -m qz_grindlet.batch IN_DIR OUT_DIR [--bits 4:12] [--rate 2000:16000]
        [--quantize round,floor] [--mode step,linear] [--seed 7] [--workers N | --scheduler ADDRESS]
        [--resume]

Every audio file under IN_DIR is written to the same relative path under OUT_DIR, in its own
format. Each file's settings are drawn from the seed and its relative path alone. A manifest,
OUT_DIR/grindlet-manifest.jsonl, gets one JSON line per file (path, settings, frames, status).
Outputs are written under a temporary name and renamed when complete; an input, or a file this
tool did not write, is never replaced.
"""

import argparse
import concurrent.futures
import json
import multiprocessing
import os
import shutil
import signal
import stat
import sys
import secrets
import time
from typing import Dict, Iterator, List, Optional, Tuple

MANIFEST = "grindlet-manifest.jsonl"
PARTIAL_SUFFIX = ".qz-grindlet-partial"
# Free space below this after a failed write means the disk filled up.
FULL_DISK_BYTES = 1 << 20
# The file extensions rendered; anything else under IN_DIR is left alone.
AUDIO_EXTENSIONS = frozenset(
    ".wav .wave .flac .ogg .oga .opus .aif .aiff .aifc .au .snd .caf .w64 .rf64 .mp3".split()
)
# Times a file is tried when the process rendering it dies (a crash, not a reported error).
ATTEMPTS = 3
# How long a worker has to unwind after SIGTERM before it is killed.
STOP_SECONDS = 5
# How often a Dask run looks for workers while it waits, and how long it waits with none.
DASK_POLL_SECONDS = 5
DASK_NO_WORKERS_SECONDS = 60
EXIT_FAILED = 1
EXIT_USAGE = 2
PROGRAM = "qz_grindlet.batch"
# Earlier spellings the render tool takes too.
OPTION_ALIASES = {"quantize": ("--quant",)}


class Refusal(Exception):
    """The run cannot go as asked; nothing has been written."""


# ---------------------------------------------------------------------------------------------
# One file: runs in a worker process, local or on a Dask worker.


# Whether a worker is rendering: a stop then unwinds the render first (removing its file).
_worker = {"rendering": False}


def _on_sigterm(signum, frame):
    if not _worker["rendering"]:
        os._exit(128 + signum)
    raise SystemExit(128 + signum)


class Interrupted(BaseException):
    """A signal that ends the run: SIGINT, SIGTERM or SIGHUP."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


# A stop that comes while an output is linked and recorded waits for both (see run()).
_deferred = {"holding": False, "signum": None}


def _interrupt(signum, frame):
    if _deferred["holding"]:
        _deferred["signum"] = _deferred["signum"] or signum
        return
    raise Interrupted(signum)


def _release_stop():
    _deferred["holding"] = False
    if _deferred["signum"] is not None:
        raise Interrupted(_deferred["signum"])


def _worker_start(coordinator: int):
    # The coordinator handles Ctrl-C and stops its workers with SIGTERM, which unwinds a render
    # and so removes its temporary file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _on_sigterm)
    # However the coordinator ends (SIGKILL included), the kernel sends its workers SIGTERM; one
    # whose coordinator ended before this was set ends at once.
    if sys.platform.startswith("linux"):
        import ctypes

        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    if os.getppid() != coordinator:
        raise SystemExit(128 + signal.SIGTERM)


def render_file(source: str, partial: str, settings: Dict) -> Dict:
    """Renders one file into the partial file the coordinator named for this attempt (made new,
    never reused); returns its manifest fields. Errors are reported, not raised. Only the
    coordinator links an output into place, so no output appears that the manifest does not
    record, whatever happens to the coordinator."""
    _worker["rendering"] = True
    try:
        frames, written = _render(source, partial, settings)
        return {"status": "rendered", "frames": frames, "partial": written}
    except Exception as error:  # a bad file fails alone
        return {"status": "failed", "frames": None, "error": _describe(error)}
    except SystemExit as stop:  # stopped: the render has unwound; the worker ends (the pool
        os._exit(stop.code)  # would take the exit for a task's result and wait for another)
    finally:
        _worker["rendering"] = False


def _describe(error: BaseException) -> str:
    text = str(error) or type(error).__name__
    return " ".join(text.split())


def _space_hint(folder: str) -> str:
    """libsndfile says only "System error." when a disk fills up: say what it most likely was."""
    try:
        return " (the disk is full)" if shutil.disk_usage(folder).free < FULL_DISK_BYTES else ""
    except OSError:
        return ""


def partial_name(target: str, run_token: str, attempt: int) -> str:
    """The temporary file of one attempt at one output: in the output's folder (so that it links
    into place), hidden, and named after the run and the attempt, so that a retry never shares
    it with an earlier attempt and a resumed run knows it for one of this tool's."""
    folder, name = os.path.split(target)
    return os.path.join(folder, f".{name}.{run_token}-{attempt}{PARTIAL_SUFFIX}")


def _create_new(partial: str) -> str:
    """Makes the attempt's partial file, new. Dask runs a task again with the same arguments when
    its worker died: the dead attempt's file stays for the coordinator to remove, and this one
    takes the next free name."""
    for extra in range(100):
        path = partial if extra == 0 else f"{partial[: -len(PARTIAL_SUFFIX)]}.{extra}{PARTIAL_SUFFIX}"
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return path
        except FileExistsError:
            continue
    raise FileExistsError(f"{partial}: no free name for a partial file")


def _container_of(partial: str) -> str:
    """The output's container, from its name inside the partial file's (see partial_name)."""
    import re

    name = os.path.basename(partial)[: -len(PARTIAL_SUFFIX)]
    named = re.fullmatch(r"\.(.*)\.[0-9a-f]+-\d+(?:\.\d+)?", name)
    return os.path.splitext(named.group(1) if named else name)[1][1:].lower()


def _render(source: str, partial: str, settings: Dict) -> Tuple[int, str]:
    """The render tool's own job renders the file (the extension runs it, the GIL released):
    the output's format is the target's container with the input's sample format, every write
    and the flush to disk are checked, and the partial file is complete or not replaced."""
    from ._grindlet import _render_file

    folder = os.path.dirname(partial)
    os.makedirs(folder, exist_ok=True)
    # Made new (never an earlier attempt's file), with the permissions the user's umask gives
    # any new file; the render then replaces it, as this batch's own.
    partial = _create_new(partial)
    done = False
    try:
        container = _container_of(partial)
        try:
            # As bytes: any name the file system holds, UTF-8 or not.
            result = _render_file(os.fsencode(source), os.fsencode(partial), container, settings)
        except OSError as error:
            raise OSError(f"{error}{_space_hint(folder)}") from None
        done = True
        return result["frames"], partial
    finally:
        if not done:
            _remove(partial)


def _remove(path: str):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def place_output(partial: str, target: str, replace: bool) -> int:
    """Links a finished partial file into place and returns the output's size. Replaces only
    what this batch wrote (replace); otherwise fails rather than replace a file that is there.
    The partial file's name stays linked to the output until the caller has recorded it (and
    then removes it): a run killed in between leaves the proof that the output is this batch's
    (see outputs_placed_unrecorded)."""
    try:
        if replace:
            # A second name, renamed over the target: the partial's own name still holds it.
            staged = partial[: -len(PARTIAL_SUFFIX)] + ".placing" + PARTIAL_SUFFIX
            os.link(partial, staged)
            try:
                os.replace(staged, target)
            except BaseException:
                _remove(staged)
                raise
        else:
            try:
                os.link(partial, target)
            except FileExistsError:
                raise FileExistsError(f"{target} exists and was not written by this run; not replaced") from None
        return os.path.getsize(target)
    except BaseException:
        _remove(partial)
        raise


def target_of_partial(partial: str) -> Optional[str]:
    """The output a partial file was made for (see partial_name), or None."""
    import re

    folder, name = os.path.split(partial)
    named = re.fullmatch(r"\.(.*)\.[0-9a-f]+-\d+(?:\.\d+)?" + re.escape(PARTIAL_SUFFIX), name)
    return os.path.join(folder, named.group(1)) if named else None


def outputs_placed_unrecorded(out_dir: str) -> set:
    """Relative paths of outputs an earlier run put in place but was killed before recording:
    their partial file's name still links to them."""
    placed = set()
    for folder, _, files in os.walk(out_dir):
        for name in files:
            partial = os.path.join(folder, name)
            target = target_of_partial(partial) if name.endswith(PARTIAL_SUFFIX) else None
            try:
                if target is not None and os.path.samefile(partial, target):
                    placed.add(os.path.relpath(target, out_dir).replace(os.sep, "/"))
            except OSError:
                continue
    return placed


# ---------------------------------------------------------------------------------------------
# The corpus, the manifest, and the coordinator.


def find_inputs(in_dir: str, out_dir: str) -> List[str]:
    """Relative paths ('/'-separated, sorted) of the audio files under in_dir, out_dir excluded."""
    found = []
    out_real = os.path.realpath(out_dir)
    for folder, subfolders, files in os.walk(in_dir):
        subfolders[:] = sorted(d for d in subfolders if os.path.realpath(os.path.join(folder, d)) != out_real)
        for name in sorted(files):
            if name.startswith(".") or os.path.splitext(name)[1].lower() not in AUDIO_EXTENSIONS:
                continue
            path = os.path.join(folder, name)
            # A named pipe is read as the render tool reads one: what its writer sends.
            if os.path.isfile(path) or stat.S_ISFIFO(os.stat(path).st_mode if os.path.exists(path) else 0):
                found.append(os.path.relpath(path, in_dir).replace(os.sep, "/"))
    return found


def read_manifest(path: str) -> Tuple[Dict[str, Dict], Dict[str, Dict]]:
    """The last complete line per file, and the last that recorded it rendered (the output this
    batch put in place, whatever failed after); a torn last line (an interrupted write) is cut
    off."""
    entries: Dict[str, Dict] = {}
    rendered: Dict[str, Dict] = {}
    if not os.path.exists(path):
        return entries, rendered
    with open(path, "rb+") as manifest:
        data = manifest.read()
        complete = data.rfind(b"\n") + 1
        if complete != len(data):
            manifest.truncate(complete)
    for line in data[:complete].splitlines():
        try:
            entry = json.loads(line)
            entries[entry["path"]] = entry
            if entry.get("status") == "rendered":
                rendered[entry["path"]] = entry
        except (ValueError, KeyError, TypeError, AttributeError):
            continue
    return entries, rendered


def manifest_line(path: str, settings: Dict, result: Dict) -> str:
    entry = {"path": path, "settings": settings, "frames": result.get("frames"), "status": result["status"]}
    for optional in ("bytes", "error"):
        if optional in result:
            entry[optional] = result[optional]
    return json.dumps(entry, sort_keys=True) + "\n"


def written_by_this_batch(entry: Optional[Dict], target: str) -> bool:
    """Whether the output at target is the one the manifest records as rendered (its size and
    frames): only such a file may a resumed run replace."""
    if not entry or entry.get("status") != "rendered":
        return False
    try:
        import soundfile

        return os.path.getsize(target) == entry.get("bytes") and soundfile.info(target).frames == entry.get("frames")
    except Exception:
        return False


def already_done(entry: Optional[Dict], settings: Dict, target: str) -> bool:
    """Whether a resumed run can keep the output as it is."""
    return written_by_this_batch(entry, target) and entry.get("settings") == settings


class Progress:
    """One bar over the corpus on a terminal; messages are printed above it."""

    def __init__(self, total: int, stream=sys.stderr):
        self.total, self.stream = total, stream
        self.shown = stream.isatty()
        self.done = self.failed = 0

    def advance(self, failed: bool):
        self.done += 1
        self.failed += failed
        self.draw()

    def draw(self):
        if not self.shown:
            return
        width = 30
        filled = width * self.done // max(self.total, 1)
        failed = f", {self.failed} failed" if self.failed else ""
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} files{failed}\x1b[K")
        self.stream.flush()

    def message(self, text: str):
        if self.shown:
            self.stream.write("\r\x1b[K")
        self.stream.write(text + "\n")
        self.draw()

    def close(self):
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


class LocalPool:
    """Worker processes on this machine. A worker that dies is replaced; its files are tried again."""

    def __init__(self, workers: int):
        self.workers = workers
        self.executor = self._start()

    def _start(self):
        return concurrent.futures.ProcessPoolExecutor(
            self.workers, mp_context=multiprocessing.get_context("fork"), initializer=_worker_start,
            initargs=(os.getpid(),),
        )

    @property
    def window(self) -> int:
        return 4 * self.workers

    def submit(self, *arguments):
        return self.executor.submit(render_file, *arguments)

    def wait(self, pending):
        return concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)

    def result(self, future) -> Dict:
        return future.result()

    def broken(self, error: BaseException) -> bool:
        """A worker died: the pool is gone. Its other workers are ended and waited for before a
        new pool starts, so that no retry races an attempt still running."""
        if not isinstance(error, concurrent.futures.process.BrokenProcessPool):
            return False
        self.stop()
        self.executor = self._start()
        return True

    def stop(self):
        # SIGTERM unwinds each worker's render, which removes its temporary file.
        processes = list((getattr(self.executor, "_processes", None) or {}).values())
        for process in processes:
            if process.is_alive():
                process.terminate()
        for process in processes:
            process.join(STOP_SECONDS)
            if process.is_alive():  # stuck on the pool's own locks: its partial file goes too
                process.kill()
                process.join()
        self.executor.shutdown(wait=True, cancel_futures=True)

    def close(self):
        self.executor.shutdown(wait=True)


class DaskPool:
    """The workers of a running Dask cluster, which reschedules the work of a worker that dies."""

    def __init__(self, address: str):
        from dask.distributed import Client

        self.client = Client(address)
        threads = sum(self.client.nthreads().values()) or 1
        self.window = 4 * threads

    def submit(self, *arguments):
        return self.client.submit(render_file, *arguments, pure=False)

    def wait(self, pending):
        from dask.distributed import wait

        idle_since = None
        while True:
            try:
                return wait(list(pending), timeout=DASK_POLL_SECONDS, return_when="FIRST_COMPLETED")
            except TimeoutError:
                pass
            if self.client.scheduler_info().get("workers"):
                idle_since = None
                continue
            idle_since = idle_since or time.monotonic()
            if time.monotonic() - idle_since >= DASK_NO_WORKERS_SECONDS:
                raise OSError(
                    f"the Dask cluster has had no workers for {DASK_NO_WORKERS_SECONDS} s; "
                    "the outputs written so far are complete and --resume finishes the run"
                )

    def result(self, future) -> Dict:
        return future.result()

    def broken(self, error: BaseException) -> bool:
        return False

    def stop(self):
        self.client.close()

    def close(self):
        self.client.close()


def _help_text(text: str) -> str:
    """argparse formats help with %: a control's own % (the mix's unit) must stand doubled."""
    return text.replace("%", "%%")


def parse_arguments(argv):
    from . import settings as drawing
    from ._grindlet import MOST_JOBS

    parser = argparse.ArgumentParser(
        prog=f"python3 -m {PROGRAM}",
        description="Renders every audio file under IN_DIR through QZ-Grindlet into OUT_DIR, "
        "keeping relative paths and formats. A number control takes a value or a range LOW:HIGH "
        "(rate drawn on a log scale); a choice takes a name or a comma-separated list. Each "
        "file's draw depends only on --seed and its relative path.",
    )
    parser.add_argument("in_dir", metavar="IN_DIR")
    parser.add_argument("out_dir", metavar="OUT_DIR")
    for symbol in drawing.NUMBER_CONTROLS:
        row = drawing.CONTROL[symbol]
        parser.add_argument(f"--{symbol}", metavar="V|LOW:HIGH", help=_help_text(f"{row['description']} In {row['unit']}; default {row['default']:g}."))
    for symbol in drawing.CHOICE_CONTROLS:
        row = drawing.CONTROL[symbol]
        parser.add_argument(f"--{symbol}", *OPTION_ALIASES.get(symbol, ()), dest=symbol, metavar="NAME[,NAME...]", help=_help_text(f"{row['description']} One of {', '.join(row['choices'])}; default {row['default']}."))
    parser.add_argument("--preset", metavar="NAME", help="start every file from a factory preset (the controls named override it): "
                        + ", ".join(preset["symbol"] for preset in drawing.PRESETS))
    parser.add_argument("--seed", type=int, default=0, help="the draw's seed (default 0)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", "-j", "--jobs", dest="workers", type=int, default=os.cpu_count() or 1,
                       help=f"local worker processes, at most {MOST_JOBS} (default: cores)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="a Dask scheduler, e.g. tcp://10.0.0.5:8786")
    parser.add_argument("--resume", action="store_true", help="finish an earlier run into OUT_DIR: keep what it completed")
    arguments = parser.parse_args(argv)
    if arguments.workers is not None and not 1 <= arguments.workers <= MOST_JOBS:
        parser.error(f"--workers must be from 1 to {MOST_JOBS}")
    try:
        specs = drawing.default_specs(arguments.preset)
        for symbol in drawing.NUMBER_CONTROLS:
            if getattr(arguments, symbol) is not None:
                specs[symbol] = drawing.parse_number(symbol, getattr(arguments, symbol))
        for symbol in drawing.CHOICE_CONTROLS:
            if getattr(arguments, symbol) is not None:
                specs[symbol] = drawing.parse_choices(symbol, getattr(arguments, symbol))
    except ValueError as error:
        parser.error(str(error))
    return arguments, specs


def plan(arguments, specs) -> Tuple[List[Tuple[str, str, str, Dict, bool]], int]:
    """(relative path, source, target, settings, whether the target is this batch's to replace)
    for every file to render, and how many are skipped as done. Refuses, writing nothing, when
    the run could replace an input. The folders are checked, and OUT_DIR taken, before (see
    claim_output_folder)."""
    from . import settings as drawing

    # Absolute, so that a Dask worker started elsewhere finds the same files.
    in_dir, out_dir = os.path.abspath(arguments.in_dir), os.path.abspath(arguments.out_dir)
    manifest_path = os.path.join(out_dir, MANIFEST)
    if os.path.exists(manifest_path) and not arguments.resume:
        raise Refusal(f"{manifest_path} is an earlier run's: pass --resume to finish it, or choose another OUT_DIR")
    relative_paths = find_inputs(in_dir, out_dir)
    inputs = {os.path.realpath(os.path.join(in_dir, path)) for path in relative_paths}
    done, rendered = read_manifest(manifest_path) if arguments.resume else ({}, {})
    placed = outputs_placed_unrecorded(out_dir) if arguments.resume else set()
    work, skipped = [], 0
    for path in relative_paths:
        source = os.path.join(in_dir, path)
        target = os.path.join(out_dir, path)
        if os.path.realpath(target) in inputs:
            raise Refusal(f"{target} would replace the input {os.path.realpath(target)}")
        settings = drawing.draw(specs, arguments.seed, path)
        entry = done.get(path)
        if already_done(entry, settings, target):
            skipped += 1
        else:
            ours = written_by_this_batch(rendered.get(path), target) or path in placed
            work.append((path, source, target, settings, ours))
    return work, skipped


def remove_partials(out_dir: str, run_token: str = ""):
    """A resumed run removes the temporary files an earlier run left when it was killed; a
    stopped run (run_token) its own, once its local workers are ended: whatever any of them
    created, a finished render not yet linked included. A stopped run keeps the name that proves
    an output in place its own where the manifest could not record it (see place_output); the
    resumed run reads it, then removes it."""
    for folder, _, files in os.walk(out_dir):
        for name in files:
            if name.startswith(".") and name.endswith(PARTIAL_SUFFIX) and f".{run_token}" in name:
                partial = os.path.join(folder, name)
                target = target_of_partial(partial)
                try:
                    if run_token and target is not None and os.path.samefile(partial, target):
                        continue
                except OSError:
                    pass
                try:
                    os.unlink(partial)
                except FileNotFoundError:
                    pass


def run(arguments, work, skipped: int) -> int:
    os.makedirs(arguments.out_dir, exist_ok=True)
    if arguments.resume:
        remove_partials(arguments.out_dir)
    pool = DaskPool(arguments.scheduler) if arguments.scheduler else LocalPool(arguments.workers)
    progress = Progress(len(work))
    rendered = failed = 0
    run_token = secrets.token_hex(6)
    queue: Iterator = iter(work)
    pending: Dict = {}  # future -> (item, its attempt's partial file)
    attempts: Dict[str, int] = {}  # names each attempt's partial file
    deaths: Dict[str, int] = {}  # the times a file's own process died
    retry: List = []
    with open(os.path.join(arguments.out_dir, MANIFEST), "a", encoding="utf-8") as manifest:

        def record(path: str, settings: Dict, result: Dict):
            try:
                manifest.write(manifest_line(path, settings, result))
                manifest.flush()
            except OSError as error:
                raise OSError(
                    f"cannot write {manifest.name}: {error.strerror or error}; "
                    "the outputs written so far are complete and --resume finishes the run"
                ) from None

        try:
            progress.draw()
            while True:
                while len(pending) < pool.window:
                    item = retry.pop() if retry else next(queue, None)
                    if item is None:
                        break
                    path, source, target, settings, _ = item
                    attempts[path] = attempts.get(path, 0) + 1
                    partial = partial_name(target, run_token, attempts[path])
                    pending[pool.submit(source, partial, settings)] = (item, partial)
                if not pending:
                    break
                finished, _ = pool.wait(pending)
                # What finished is linked and recorded before a stop is taken: the manifest
                # records every output in place, and no finished attempt's partial file is lost.
                _deferred["holding"] = True
                try:
                    for future in finished:
                        item, partial = pending.pop(future)
                        path, _, target, settings, replace = item
                        try:
                            result = pool.result(future)
                        except Exception as error:
                            if pool.broken(error):  # every attempt of the old pool is dead now
                                _remove(partial)
                                deaths[path] = deaths.get(path, 0) + 1
                                if deaths[path] < ATTEMPTS:
                                    retry.append(item)
                                    continue
                                error = RuntimeError("the process rendering it died")
                            result = {"status": "failed", "frames": None, "error": _describe(error)}
                        written = result.pop("partial", None)
                        if written != partial:
                            _remove(partial)  # a dead earlier run of the same task left it
                        if result["status"] == "rendered":
                            try:
                                result["bytes"] = place_output(written, target, replace)
                            except OSError as error:
                                result = {"status": "failed", "frames": None, "error": _describe(error)}
                        record(path, settings, result)
                        if result["status"] == "rendered":
                            _remove(written)  # recorded: the output needs no other proof
                            rendered += 1
                        else:
                            failed += 1
                            progress.message(f"{PROGRAM}: {path}: {result['error']}")
                        progress.advance(result["status"] != "rendered")
                finally:
                    _release_stop()
                if retry:
                    for item, partial in pending.values():
                        _remove(partial)
                        retry.append(item)  # the replaced pool no longer runs them
                    pending.clear()
            os.fsync(manifest.fileno())
            pool.close()
        except BaseException:
            progress.close()
            pool.stop()
            for _, partial in pending.values():
                _remove(partial)  # a stopped local worker's; a Dask task may still be writing
            if not arguments.scheduler:
                remove_partials(arguments.out_dir, run_token)  # the local workers are ended
            raise
    progress.close()
    print(f"{rendered} rendered, {failed} failed, {skipped} skipped")
    return EXIT_FAILED if failed else 0


def claim_output_folder(arguments) -> int:
    """Makes OUT_DIR where it is missing and takes it for this run alone (a lock on the folder,
    which ends with the process): two batches into one folder would take each other's outputs
    for strangers'. Returns the folder's descriptor, held for the run."""
    in_dir, out_dir = os.path.abspath(arguments.in_dir), os.path.abspath(arguments.out_dir)
    if not os.path.isdir(in_dir):
        raise Refusal(f"{in_dir}: not a folder")
    if os.path.realpath(in_dir) == os.path.realpath(out_dir):
        raise Refusal("OUT_DIR is IN_DIR: the outputs would replace the inputs")
    try:
        os.makedirs(out_dir, exist_ok=True)
        folder = os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError as error:
        raise Refusal(f"{out_dir}: {error.strerror or error}") from None
    import fcntl

    try:
        fcntl.flock(folder, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(folder)
        raise Refusal(f"{out_dir} is in use by another batch: one batch at a time per output "
                      "folder (run again when it ends, with --resume to finish its work)") from None
    return folder


def main(argv=None) -> int:
    arguments, specs = parse_arguments(argv)
    out_dir = os.path.abspath(arguments.out_dir)
    made = not os.path.exists(out_dir)
    try:
        folder = claim_output_folder(arguments)
        try:
            work, skipped = plan(arguments, specs)
        except Refusal:
            if made:  # left as it was: the folder this run made, empty, goes again
                try:
                    os.rmdir(out_dir)
                except OSError:
                    pass
            raise
    except Refusal as refusal:
        print(f"{PROGRAM}: {refusal}", file=sys.stderr)
        return EXIT_USAGE
    # Ctrl-C, SIGTERM and SIGHUP end the run alike: workers stopped, no temporary file left.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if signal.getsignal(number) is not signal.SIG_IGN:
            signal.signal(number, _interrupt)
    try:
        return run(arguments, work, skipped)
    except Interrupted as interrupted:
        print(f"{PROGRAM}: interrupted; --resume finishes the run", file=sys.stderr)
        return 128 + interrupted.signum
    except OSError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
