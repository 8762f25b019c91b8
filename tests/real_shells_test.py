#!/usr/bin/python3
# This checks what differs between real shells, which the small shell of the
# C++ tests (pty_shell.h) can only imitate: dash and busybox ash do not put
# their own terminal settings back when a job stops, bash's `fg` does not
# continue a job that runs, zsh's `kill` continues a stopped job, ksh93, mksh
# and fish put a stopped job's settings back at `fg`. The matrix of keys,
# signals, stops and races belongs to the C++ tests (pause_test,
# pause_sweep_test); a case belongs here only where a real shell's own
# behaviour matters, and so do the sequences that only a real shell's job
# control makes.
"""The wait for a key after the result, under real interactive shells.

The program is typed at bash, dash, zsh, ksh93, mksh, busybox ash or fish on
a pseudo-terminal, as a person would, and stopped, continued and ended from
outside the way people and shells do it; the shell's `stty -g` before and
after must agree. Without a
shell, the program is started alone in a session of its own, as a terminal
window or tmux starts it, where the kernel discards the stops that it is sent.

    real_shells_test.py EXE bash|dash|zsh|ksh|mksh|busybox_ash|fish|no_job_control
    real_shells_test.py EXE bash|dash|zsh|ksh|mksh|busybox_ash|fish random

The second form plays seeded random sequences of job control instead, the
seed in AVOIDREC_SEED, if set, alone. AVOIDREC_EXE in the environment
overrides EXE; AVOIDREC_TESTS keeps only the tests whose names contain it. Exits with 77 (skipped) when
pexpect or the shell is missing.
"""

import contextlib
import dataclasses
import os
import random
import re
import resource
import shlex
import shutil
import signal
import sys
import tempfile
import termios
import time
import unittest

try:
    import pexpect
except ImportError:
    pexpect = None

SKIPPED = 77
NO_JOB_CONTROL = "no_job_control"
RANDOM = "random"

# Seconds for anything to show: every step here takes milliseconds, but a
# loaded machine may take seconds.
TIMEOUT = 10
# Seconds for the program to find out on its own what no signal tells it:
# it looks once a second.
A_FEW_LOOKS = 5

PROMPT = "rs> "
WORD_PROMPT = "enter word(ex. 00101) : "
RESULT = "0 2 0 0 0 -1"
HINT = "Press any key to continue . . . "


@dataclasses.dataclass(frozen=True)
class Shell:
    # The shell's program and its arguments: interactive, without start-up
    # files.
    command: list
    # Whether it puts its own settings back when a job stops. dash does not:
    # after SIGSTOP the program's raw mode stays, also while dash reads
    # commands. zsh's line editor does, as it reads the next command.
    puts_back_its_own: bool
    # Ends the stopped background job by SIGTERM, as a person would type it.
    # zsh's `kill` continues a stopped job. dash's leaves it stopped, the
    # signal pending; bash's continues it, but its `wait` still takes the job
    # for stopped and returns at once; so both are continued with `bg` too.
    end_stopped_job: str
    # What the shell shows once it has the job's status: `wait`'s, or, in
    # zsh, whose `wait` knows no job that has ended already, its notice.
    terminated: str
    # Whether `fg` puts back the settings that the job had when it stopped,
    # as ksh93, mksh and fish do, before it continues the job: after SIGSTOP
    # that is the wait's raw mode, in which the program cannot tell that it
    # was stopped; and settings changed at the shell meanwhile are undone.
    restores_the_jobs: bool = False
    # Whether it puts its own settings back after a job that was stopped
    # ends, whatever the job left (mksh): a change made at the shell while
    # the job was stopped comes back then.
    puts_back_its_own_after: bool = False
    # Whether it continues at once a job in the foreground that SIGTTIN or
    # SIGTTOU stopped, as ksh93 does: the program takes the terminal again.
    continues_terminal_stops: bool = False
    # Whether, after a SIGSTOP, it gives its commands the job's raw mode
    # partly mended, as fish does (line mode and echo, but no signal keys),
    # until the job ends and puts its settings back. `bg` and a command typed
    # set them while the program, continued in the background, looks: they
    # are another's settings seen from the background, and not to be kept.
    keeps_the_jobs_mode: bool = False
    # The status of a command ended by signal `number`.
    signalled: object = lambda number: 128 + number
    # Whether `fg` returns the job's status; fish's returns 0.
    fg_returns_the_jobs: bool = True
    # Whether it takes the terminal's settings as its own when a job it ran
    # ends, killed or not (zsh, fish), or for the next line it reads
    # (busybox ash): a program that job left behind in the background finds
    # out only at its next look, when the shell has them already, and its
    # raw mode stays the shell's, as after vim or less.
    takes_a_jobs_settings: bool = False
    # Whether its `kill` continues a stopped job only once it has seen the
    # stop (mksh): under load the stop may not have reached it yet, and the
    # job then waits, stopped, with SIGTERM pending.
    kill_needs_a_seen_stop: bool = False
    # The last command's status, in the shell's own syntax.
    last_status: str = "$?"
    # Lists the jobs, printing nothing when there are none (fish's `jobs`
    # says that there are none).
    jobs: str = "jobs"
    # Whether a subshell keeps a signal that it ignores ignored in what it
    # runs. zsh's puts SIGTTOU back to its default; fish has no subshells.
    subshells_ignore: bool = True


# glibc keeps these two for its threads; the program cannot catch them.
RESERVED_NUMBERS = [32, 33]

# zsh keeps its line editor, as people use it.
WAIT = "; wait %1; echo status=$?"
# fish's own start-up: a plain prompt, no greeting, no files read.
FISH_SETUP = 'function fish_prompt; echo -n "rs> "; end; function fish_greeting; end'
SHELLS = {
    "bash": Shell(["bash", "--norc", "--noprofile", "-i"], True, "kill %1; bg %1" + WAIT, "status=143\r"),
    "dash": Shell(["dash", "-i"], False, "kill %1; bg %1" + WAIT, "status=143\r"),
    "zsh": Shell(
        ["zsh", "-f", "-i"],
        True,
        "kill %1",
        r"\bterminated\b",
        subshells_ignore=False,
        takes_a_jobs_settings=True,
    ),
    # ksh93 and mksh put their own settings back at a stop, keep the job's,
    # and put those back at `fg`. Their `kill` continues a stopped job, as
    # zsh's does.
    # ksh93 reports a signal as 256 plus its number, and the two numbers
    # that glibc keeps, which it does not know, as 0.
    "ksh": Shell(
        ["ksh", "-i"],
        True,
        "kill %1" + WAIT,
        "status=271\r",
        restores_the_jobs=True,
        continues_terminal_stops=True,
        signalled=lambda number: 0 if number in RESERVED_NUMBERS else 256 + number,
    ),
    # mksh's `wait` for a job it saw stopped returns 0; its notice tells.
    "mksh": Shell(
        ["mksh", "-i"],
        True,
        "kill %1" + WAIT,
        r"\bTerminated\b",
        restores_the_jobs=True,
        puts_back_its_own_after=True,
        kill_needs_a_seen_stop=True,
    ),
    # busybox ash, dash's relative, leaves the program's raw mode in place at
    # SIGSTOP, and its line editor then reads commands in it.
    "busybox_ash": Shell(
        ["busybox", "ash", "-i"], False, "kill %1; bg %1" + WAIT, "status=143\r", takes_a_jobs_settings=True
    ),
    # fish puts back its own settings at a stop (after a SIGSTOP, for its
    # commands, the wait's raw mode partly mended), keeps the job's and puts
    # them back at `fg`.
    # Its `kill` is the system's, which knows no %1, and its `wait` takes no
    # job; it reports a job ended by a signal itself.
    "fish": Shell(
        ["fish", "--no-config", "-C", FISH_SETUP, "-i"],
        True,
        "kill (jobs -p %1); bg; wait",
        r"terminated by signal SIGTERM",
        restores_the_jobs=True,
        keeps_the_jobs_mode=True,
        subshells_ignore=False,
        fg_returns_the_jobs=False,
        last_status="$status",
        jobs="if jobs -q; jobs; end",
        takes_a_jobs_settings=True,
    ),
}

STOPS = [signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU, signal.SIGSTOP]
TERMINAL_STOPS = [signal.SIGTTIN, signal.SIGTTOU]
ENDING_SIGNALS = [signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGUSR1, signal.SIGRTMAX]
KEYS = [
    ("a letter", "x"),
    ("Ctrl-C", "\x03"),
    ("Ctrl-Z", "\x1a"),
    ("Ctrl-\\", "\x1c"),
    ("an arrow key", "\x1b[A"),
]

EXE = ""
SHELL = ""


# ---- The program's process and its terminal ------------------------------


def proc_status(pid):
    """The fields of /proc/PID/status; fails the test if the program has ended."""
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
    except FileNotFoundError:
        fields = {"State": "X (gone)"}
    fields = {name: value.strip() for name, value in fields.items()}
    if fields["State"][0] in "ZX":
        raise AssertionError("the program has ended")
    return fields


def pending(fields):
    """The signals pending, to the thread or the process, as a bit mask."""
    return int(fields["SigPnd"], 16) | int(fields["ShdPnd"], 16)


def waits_quietly(pid):
    """Asleep with no signal left to handle: back in the wait, every handler done."""
    fields = proc_status(pid)
    unblocked = pending(fields) & ~int(fields["SigBlk"], 16)
    return fields["State"].startswith("S") and unblocked == 0


def settled(pid):
    """Done with all it does on its own: stopped, or waiting quietly."""
    return proc_status(pid)["State"].startswith("T") or waits_quietly(pid)


def holds(pid, number):
    """Whether signal `number` is pending."""
    return pending(proc_status(pid)) & (1 << (number - 1)) != 0


def is_raw(fd):
    """Whether the terminal reads key by key. On Linux the settings read
    through the pty's master are the terminal's own."""
    return termios.tcgetattr(fd)[3] & termios.ICANON == 0


def wait_until(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting until " + what)
        time.sleep(0.005)


def waits_for_the_key(fd, pid):
    """In the terminal's foreground, in raw mode, asleep, every signal handled."""
    fields = stat(pid)
    try:
        return fields is not None and os.tcgetpgrp(fd) == fields[2] and is_raw(fd) and waits_quietly(pid)
    except AssertionError:
        return False  # it ended meanwhile


def wait_for_the_key(fd, pid):
    """Until the program waits for a key. A key sent earlier could meet line
    mode and be taken as a line, or a signal."""
    wait_until(lambda: waits_for_the_key(fd, pid), "the program waits for a key in raw mode")


def gone(pid):
    return not os.path.exists(f"/proc/{pid}")


def stat(pid):
    """State, parent and process group, or None once the process has gone."""
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as f:
            text = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return None
    state, parent, group = text[text.rindex(")") + 2 :].split()[:3]
    return state, int(parent), int(group)


def ended(pid):
    """Gone, or a zombie: an orphan's new parent need not reap it at once."""
    fields = stat(pid)
    return fields is None or fields[0] in "ZX"


def stopped(pid):
    fields = stat(pid)
    return fields is not None and fields[0] == "T"


def members(group):
    """The processes of a process group that have not ended."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            fields = stat(int(name))
            if fields is not None and fields[2] == group and fields[0] not in "ZX":
                found.append(int(name))
    return found


def the_program(group):
    """The program's process among the group's, as its word prompt shows."""
    exe = os.path.realpath(EXE)
    for pid in members(group):
        with contextlib.suppress(OSError):
            if os.readlink(f"/proc/{pid}/exe") == exe:
                return pid
    raise AssertionError("the program is not in the terminal's foreground group")


def done_by_itself(pids):
    """Each has ended, stopped, or sleeps with every signal handled."""

    def done(pid):
        try:
            return ended(pid) or stopped(pid) or waits_quietly(pid)
        except (AssertionError, KeyError, OSError):
            return True  # it ended meanwhile, as its /proc files were read

    return all(done(pid) for pid in pids)


def default_signals():
    """In the child before exec: every signal's default action and none
    blocked, as a terminal starts its shell, whatever this test inherited
    (SIGINT ignored when started in the background, Python's SIGPIPE)."""
    for sig in signal.valid_signals():
        with contextlib.suppress(OSError, ValueError):
            signal.signal(sig, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, [])


def end_group(pgid):
    with contextlib.suppress(ProcessLookupError):
        os.killpg(pgid, signal.SIGKILL)


# ---- A person at a shell ---------------------------------------------------


@dataclasses.dataclass
class Session:
    child: "pexpect.spawn"
    programs: list  # groups of the programs started, to end them whatever happens


@contextlib.contextmanager
def shell_session():
    env = {n: v for n, v in os.environ.items() if n not in ("ENV", "BASH_ENV", "PROMPT_COMMAND")}
    # A plain prompt, and no history written to the user's files.
    env.update(TERM="dumb", PS1=PROMPT, PROMPT=PROMPT, HISTFILE="")
    with tempfile.TemporaryDirectory() as home:
        # The file that ENV names is all that ksh, mksh, dash and busybox ash
        # read at the start, in place of ~/.kshrc or ~/.mkshrc; it sets the
        # prompt again, since mksh run by root takes none from the
        # environment that lacks a '#'.
        env["ENV"] = os.path.join(home, "env")
        with open(env["ENV"], "w", encoding="ascii") as f:
            f.write(f"PS1='{PROMPT}'\n")
        command = SHELLS[SHELL].command
        child = pexpect.spawn(
            command[0],
            command[1:],
            env=env,
            encoding="utf-8",
            timeout=TIMEOUT,
            dimensions=(24, 500),
            preexec_fn=default_signals,
        )
        child.delaybeforesend = None  # every step waits for what it answers
        session = Session(child, [])
        try:
            child.expect_exact(PROMPT)
            yield session
        finally:
            for pgid in session.programs:
                end_group(pgid)
            child.close(force=True)


def enter(fd):
    """The key that ends a line: Enter, or Ctrl-J where the wait's raw mode
    was left in place (SIGSTOP under dash), since raw mode passes Enter's CR
    on as it is, and a person who finds Enter dead types `stty sane` Ctrl-J."""
    flags = termios.tcgetattr(fd)
    line_mode = flags[3] & termios.ICANON != 0 or flags[0] & termios.ICRNL != 0
    return "\r" if line_mode else "\n"


def answer(session, line, pattern):
    """Types a command line and returns the match of `pattern` in what it
    prints. Prompts are no guide: zsh's line editor, interrupted by the
    notice of a job, may leave one out."""
    session.child.send(line + enter(session.child.child_fd))
    session.child.expect(pattern)
    return session.child.match


def run(session, line):
    """Types a command line that prints nothing, and waits until it has run."""
    answer(session, line + "; echo ran-4''2", "ran-42")


def settings(session):
    return answer(session, "stty -g", r"(?<![0-9a-f:])([0-9a-f]+(?::[0-9a-f]+){4,})\r\n")[1]


def status(session):
    """The status of the last command, as the shell reports it."""
    line = "echo status=" + SHELLS[SHELL].last_status
    return int(answer(session, line, r"status=(\d+)\r\n")[1])


def shell_has_the_terminal(session):
    """Until the shell has the terminal back, the program having ended or
    stopped, and waits for a command: a line typed earlier could be dropped
    with the settings that a shell puts back (ksh93)."""
    fd = session.child.child_fd
    shell = session.child.pid
    wait_until(
        lambda: os.tcgetpgrp(fd) == shell and waits_quietly(shell),
        "the shell has the terminal back and waits for a command",
    )


def start_program(session, line=None):
    """Runs the program on the worked example, alone or as `line` says, and
    returns its process id once it waits for a key."""
    child = session.child
    child.send((line or shlex.quote(EXE)) + enter(child.child_fd))
    child.expect_exact(WORD_PROMPT)
    group = os.tcgetpgrp(child.child_fd)
    session.programs.append(group)
    if group == child.pid:
        raise AssertionError("the shell runs the program in its own process group")
    pid = the_program(group)
    child.send("00101\r")
    # Through a pipe the result may come after the hint.
    if line is None:
        child.expect_exact(RESULT)
    child.expect_exact(HINT)
    wait_for_the_key(child.child_fd, pid)
    return pid


def signal_from_outside(session, pid, sig):
    """Sends the waiting program a signal that ends or stops it."""
    os.kill(pid, sig)
    shell_has_the_terminal(session)


def fg(session, pid, hint=True):
    """Brings the stopped program back; it shows the hint again if it can
    tell that it was stopped."""
    session.child.send("fg" + enter(session.child.child_fd))
    if hint:
        session.child.expect_exact(HINT)
    wait_for_the_key(session.child.child_fd, pid)


def bg(session, pid):
    """Continues the stopped program in the background, where its read of
    the terminal stops it again."""
    run(session, "bg")
    wait_until(lambda: settled(pid), "the program is done in the background")


def end_stopped_job(session, pid):
    """Ends the stopped background job by SIGTERM and returns what the shell
    showed until it had the job's status."""
    session.child.send(SHELLS[SHELL].end_stopped_job + enter(session.child.child_fd))
    if SHELLS[SHELL].kill_needs_a_seen_stop:

        def term_waits():
            try:
                return stopped(pid) and holds(pid, signal.SIGTERM)
            except (AssertionError, OSError):
                return True  # it ended meanwhile

        wait_until(lambda: gone(pid) or term_waits(), "SIGTERM has come")
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGCONT)
    wait_until(lambda: gone(pid), "the shell has the program's status")
    # ksh93 drops a line typed before it reads commands again.
    shell_has_the_terminal(session)
    run(session, "jobs")
    return session.child.before


def continue_typed(session, pid):
    """Continues the stopped program with the system's kill typed at the
    shell, which leaves it in the background: it stops again by SIGTTOU, or
    waits there where it ignores SIGTTOU."""
    run(session, f"/bin/kill -CONT {pid}")
    wait_until(lambda: done_by_itself([pid]), "the program is done in the background")


def jobs_left(session):
    """What the shell's `jobs` lists, once the notices of jobs that ended
    have been shown."""
    shell = SHELLS[SHELL]
    line = f"echo jobs-be''gin; {shell.jobs}; echo jobs-e''nd"
    for _ in range(2):
        listed = answer(session, line, r"jobs-begin\r\n(.*?)jobs-end")[1]
    return listed


def ignoring_ttou(command):
    """`command` run with SIGTTOU ignored, from a subshell, or where the
    shell's own will not do, from sh."""
    body = f"trap '' TTOU; exec {command}"
    return f"({body})" if SHELLS[SHELL].subshells_ignore else sh_c(body)


def sh_c(body):
    """`sh -c` with `body` as a command line, quoted as every shell here takes it."""
    return "sh -c " + shlex.quote(body)


def press(session, key):
    session.child.send(key)
    shell_has_the_terminal(session)


# ---- The tests -------------------------------------------------------------


class UnderShell(unittest.TestCase):
    def test_one_key_ends_the_wait(self):
        for name, key in KEYS:
            with self.subTest(key=name), shell_session() as session:
                before = settings(session)
                start_program(session)
                press(session, key)
                self.assertEqual(status(session), 0)
                self.assertEqual(settings(session), before)

    def test_a_signal_from_outside_ends_it_by_that_signal(self):
        for sig in ENDING_SIGNALS:
            with self.subTest(signal=sig.name), shell_session() as session:
                before = settings(session)
                pid = start_program(session)
                signal_from_outside(session, pid, sig)
                self.assertEqual(status(session), SHELLS[SHELL].signalled(sig))
                self.assertEqual(settings(session), before)

    def test_a_reserved_number_acts_after_the_key(self):
        for number in RESERVED_NUMBERS:
            with self.subTest(signal=number), shell_session() as session:
                before = settings(session)
                pid = start_program(session)
                os.kill(pid, number)
                wait_until(lambda: holds(pid, number), f"signal {number} is held")
                self.assertTrue(waits_quietly(pid), "the signal did not wait for the key")
                press(session, "x")
                self.assertEqual(status(session), SHELLS[SHELL].signalled(number))
                self.assertEqual(settings(session), before)

    # The program knows it was stopped when it stopped itself, on a signal it
    # caught or on a change of the terminal refused in the background, or
    # when it finds a shell's settings as it goes on. After SIGSTOP alone,
    # under a shell that changes nothing, it cannot tell, and shows no hint.
    def test_a_stop_then_fg_then_a_key(self):
        for sig in STOPS:
            for then_bg in (False, True):
                name = "bg, fg" if then_bg else "fg"
                with self.subTest(signal=sig.name, then=name), shell_session() as session:
                    before = settings(session)
                    pid = start_program(session)
                    if sig in TERMINAL_STOPS and SHELLS[SHELL].continues_terminal_stops:
                        os.kill(pid, sig)
                        session.child.expect_exact(HINT)
                        wait_for_the_key(session.child.child_fd, pid)
                        press(session, "x")
                        self.assertEqual(status(session), 0)
                        self.assertEqual(settings(session), before)
                        continue
                    signal_from_outside(session, pid, sig)
                    shell = SHELLS[SHELL]
                    if then_bg:
                        bg(session, pid)
                    puts_back = shell.puts_back_its_own and not shell.restores_the_jobs
                    seen = sig != signal.SIGSTOP or then_bg or puts_back
                    fg(session, pid, hint=seen)
                    press(session, "x")
                    self.assertEqual(status(session), 0)
                    self.assertEqual(settings(session), before)

    # Continued in the background, the program must leave the terminal to
    # the shell, with whatever settings it has then. After SIGSTOP those are
    # the shell's doing: bash and zsh's line editor put their own back, dash
    # leaves the program's raw mode in place. Ended there, the program puts
    # back the settings it found where the terminal still holds its raw
    # mode, and changes nothing where it does not.
    def test_a_stop_then_bg_then_kill(self):
        for sig in STOPS:
            with self.subTest(signal=sig.name), shell_session() as session:
                if sig in TERMINAL_STOPS and SHELLS[SHELL].continues_terminal_stops:
                    self.skipTest("the shell continues the job at once")
                before = settings(session)
                pid = start_program(session)
                signal_from_outside(session, pid, sig)
                stopped = settings(session)
                if sig != signal.SIGSTOP:
                    self.assertEqual(stopped, before, "not put back at the stop")
                bg(session, pid)
                self.assertEqual(settings(session), stopped, "changed from the background")
                self.assertRegex(end_stopped_job(session, pid), SHELLS[SHELL].terminated)
                # fish's mended raw mode after a SIGSTOP is its own, not the
                # wait's: the program leaves it alone.
                mended = sig == signal.SIGSTOP and SHELLS[SHELL].keeps_the_jobs_mode
                expected = stopped if mended else before
                self.assertEqual(settings(session), expected, "not put back by the ending signal")

    # The settings as they are when the program comes back are the ones it
    # puts back, and its raw mode is built from them. bash puts its own back
    # after any job that was ever stopped, so there only the raw mode shows.
    # Where the shell leaves the program's raw mode in place at SIGSTOP
    # (dash), stty changes that raw mode, which is the program's own mode
    # changed, not a shell's settings: it goes on in it, without the hint,
    # and puts back the settings it found at the start.
    # ksh93, mksh and fish undo the change themselves at `fg`, putting back
    # the job's settings: the program finds what it left at the stop.
    def test_settings_changed_while_stopped_are_kept(self):
        shell = SHELLS[SHELL]
        for sig in (signal.SIGTSTP, signal.SIGSTOP):
            with self.subTest(signal=sig.name), shell_session() as session:
                before = settings(session)
                pid = start_program(session)
                signal_from_outside(session, pid, sig)
                run(session, "stty erase ^H")
                changed = settings(session)
                found = b"\x7f" if shell.restores_the_jobs else b"\x08"
                adopted = sig != signal.SIGSTOP or shell.puts_back_its_own and not shell.restores_the_jobs
                fg(session, pid, hint=adopted)
                erase = termios.tcgetattr(session.child.child_fd)[6][termios.VERASE]
                self.assertEqual(erase, found, "raw mode not built from the settings found")
                press(session, "x")
                self.assertEqual(status(session), 0)
                kept = adopted and not shell.restores_the_jobs or shell.puts_back_its_own_after
                self.assertEqual(settings(session), changed if kept else before)

    # Continued from the shell while stopped, the program is in the
    # background: its look is refused, it stops again by SIGTTOU, and `fg`
    # brings it back. ksh93 and fish put back at `fg` what the terminal held
    # at that second stop; fish, while it runs the kill typed, has set the
    # terminal to its settings for commands, which are not the program's to
    # keep.
    def test_a_stop_then_kill_cont_typed_then_fg(self):
        for attempt in range(4):
            with self.subTest(attempt=attempt), shell_session() as session:
                before = settings(session)
                pid = start_program(session)
                signal_from_outside(session, pid, signal.SIGSTOP)
                continue_typed(session, pid)
                fg(session, pid, hint=False)
                press(session, "x")
                self.assertEqual(status(session), 0)
                self.assertEqual(settings(session), before)

    # The parent that started it killed, the program is left in the
    # background of a group that no shell controls, where the kernel refuses
    # it the terminal without a signal: it must end by itself, and leave
    # the settings as the shell had them.
    def test_left_by_its_killed_parent_it_ends(self):
        with shell_session() as session:
            before = settings(session)
            pid = start_program(session, sh_c(f"{shlex.quote(EXE)}; :"))
            os.kill(stat(pid)[1], signal.SIGKILL)
            shell_has_the_terminal(session)
            wait_until(lambda: ended(pid), "the program ends", A_FEW_LOOKS)
            if not SHELLS[SHELL].takes_a_jobs_settings:
                self.assertEqual(settings(session), before)

    # The same under an interactive bash within the shell, the program
    # ignoring SIGTTOU: with its parent alive, only the group's loss of the
    # terminal tells it.
    def test_under_a_killed_inner_shell_it_ends(self):
        with shell_session() as session:
            before = settings(session)
            session.child.send("env PS1='in''> ' bash --norc --noprofile -i" + enter(session.child.child_fd))
            session.child.expect_exact("in> ")
            inner = os.tcgetpgrp(session.child.child_fd)
            session.programs.append(inner)
            pid = start_program(session, sh_c(f"trap '' TTOU; {shlex.quote(EXE)}; :"))
            os.kill(inner, signal.SIGKILL)
            shell_has_the_terminal(session)
            wait_until(lambda: ended(pid), "the program ends", A_FEW_LOOKS)
            if not SHELLS[SHELL].takes_a_jobs_settings:
                self.assertEqual(settings(session), before)

    # Ignoring SIGTTOU, the program in the background neither stops nor
    # asks for the terminal; ended there, it must leave the terminal alone,
    # as a change refused would send SIGTTOU to `cat` too, which takes it
    # at its default and would stop with no one to continue it.
    def test_ignoring_ttou_it_ends_in_the_background_without_stopping_its_job(self):
        with shell_session() as session:
            before = settings(session)
            pid = start_program(session, ignoring_ttou(shlex.quote(EXE)) + " | cat")
            group = os.getpgid(pid)
            cat = [other for other in members(group) if other != pid]
            os.killpg(group, signal.SIGSTOP)
            shell_has_the_terminal(session)
            at_the_stop = settings(session)
            if SHELLS[SHELL].puts_back_its_own and not SHELLS[SHELL].keeps_the_jobs_mode:
                self.assertEqual(at_the_stop, before)
            run(session, "bg")
            wait_until(lambda: waits_quietly(pid) and done_by_itself(cat), "the job waits in the background")
            self.assertFalse(ended(pid), "ended by itself in the background")
            os.kill(pid, signal.SIGTERM)
            wait_until(lambda: ended(pid) and done_by_itself(cat), "the program ends")
            self.assertEqual([other for other in cat if stopped(other)], [], "cat stopped")
            wait_until(lambda: all(ended(other) for other in cat), "cat ends")
            self.assertEqual(jobs_left(session), "")
            # Where the terminal still held its raw mode (dash), the ending
            # program put back the settings it found; busybox ash's line
            # editor took that raw mode at the stop and puts it back itself.
            shell = SHELLS[SHELL]
            mended = shell.keeps_the_jobs_mode or (shell.takes_a_jobs_settings and not shell.puts_back_its_own)
            self.assertEqual(settings(session), at_the_stop if mended else before)

    # Esc, then the whole job stopped within the 100 ms that the program
    # waits for the rest of a key, then `bg` and `fg`. The stop lands within
    # that time in nearly every run (under dash, 20 of 20 on an idle
    # machine); otherwise the program has not read Esc yet, and reads it in
    # the foreground after `fg`, or under load, it has ended by it already.
    def test_esc_then_the_job_stopped_then_bg_then_fg(self):
        with shell_session() as session:
            before = settings(session)
            pid = start_program(session, shlex.quote(EXE) + " | cat")
            group = os.getpgid(pid)
            job = members(group)
            session.child.send("\x1b")
            with contextlib.suppress(ProcessLookupError):
                os.killpg(group, signal.SIGSTOP)
            shell_has_the_terminal(session)
            in_the_foreground = False
            if not all(ended(member) for member in job):
                run(session, "bg")
                wait_until(lambda: done_by_itself(job), "the job is done in the background")
                if not all(ended(member) for member in job):
                    session.child.send("fg" + enter(session.child.child_fd))
                    wait_until(
                        lambda: all(ended(member) for member in job) or waits_for_the_key(session.child.child_fd, pid),
                        "the job ends, or the program waits for a key in raw mode",
                    )
                    # `fg` may come just as the job ends in the background,
                    # and then fails: only a wait it brought back tells.
                    if not ended(pid):
                        session.child.send("x")
                        in_the_foreground = True
                    shell_has_the_terminal(session)
            wait_until(lambda: all(ended(member) for member in job), "the job ends")
            if in_the_foreground and SHELLS[SHELL].fg_returns_the_jobs:
                self.assertEqual(status(session), 0)
            self.assertEqual(jobs_left(session), "")
            # Ended in the background, the program has left the terminal to
            # the shell; ksh93 then takes the job's mode saved at the stop,
            # the wait's raw mode, for its own (and `fg` may come just as the
            # job ends there, so either way ksh93's settings are its own). fish, after a SIGSTOP, may
            # keep the raw mode it mended for its commands, wherever the job
            # ended.
            shell = SHELLS[SHELL]
            shells_doing = shell.restores_the_jobs and not shell.puts_back_its_own_after
            if not shell.keeps_the_jobs_mode and not shells_doing:
                self.assertEqual(settings(session), before)


@contextlib.contextmanager
def alone():
    """The program as the leader of a new session on a pty, its process
    group orphaned: no shell controls it."""
    child = pexpect.spawn(EXE, [], encoding="utf-8", timeout=TIMEOUT, preexec_fn=default_signals)
    child.delaybeforesend = None
    try:
        yield child
    finally:
        end_group(child.pid)
        child.close(force=True)


class NoJobControl(unittest.TestCase):
    def test_a_stop_that_is_discarded_leaves_the_wait_raw(self):
        for sig in (signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU):
            with self.subTest(signal=sig.name), alone() as child:
                fd = child.child_fd
                child.expect_exact(WORD_PROMPT)
                before = termios.tcgetattr(fd)
                child.send("00101\r")
                child.expect_exact(HINT)
                wait_for_the_key(fd, child.pid)
                os.kill(child.pid, sig)
                wait_until(lambda: waits_quietly(child.pid), "the signal is handled")
                self.assertTrue(is_raw(fd), "the wait goes on in line mode")
                child.send("x")
                child.expect(pexpect.EOF)
                after = termios.tcgetattr(fd)
                child.wait()
                self.assertEqual((child.exitstatus, child.signalstatus), (0, None))
                self.assertEqual(after, before)


# ---- Random sequences of job control -------------------------------------

# The seeds played, each a sequence, a different one under each shell;
# AVOIDREC_SEED in the environment plays that one alone. No sequence is begun after RANDOM_BUDGET seconds, which
# leaves the slowest within the test's TIMEOUT.
SEEDS = list(range(1, 41))
RANDOM_BUDGET = 50
LONGEST = 8


@dataclasses.dataclass
class Job:
    """The job as a sequence has left it."""

    pid: int  # the program
    parent: int  # what started it: the shell, or sh
    members: list  # every process of the job
    way: str
    stopped: bool = False  # stopped, the shell has the terminal
    # A SIGSTOP left the wait's raw mode in place (dash, busybox ash) and the
    # program has not been in the foreground since: ended or orphaned in the
    # background it could not put the settings back, so neither is drawn.
    raw_left: bool = False
    # The shell has made the settings its own (takes_a_jobs_settings after
    # the orphaning, keeps_the_jobs_mode after a SIGSTOP): not checked.
    shells_settings: bool = False
    ending: bool = False  # SIGTERM is pending
    brought_back: bool = False  # by `fg`
    done: bool = False


def the_job_ended(job):
    return all(ended(member) for member in job.members)


class Sequence:
    """One seeded sequence: its events, each of which waits until the job
    has settled, and the checks after each one that ends it."""

    def __init__(self, test, session, rng):
        self.test = test
        self.session = session
        self.rng = rng
        self.fd = session.child.child_fd
        self.before = settings(session)
        self.steps = []

    def start(self):
        way = self.rng.choice(["alone", "piped", "under sh"])
        exe = shlex.quote(EXE)
        line = {"alone": None, "piped": f"{exe} | cat | cat", "under sh": sh_c(f"{exe}; :")}[way]
        self.steps.append(way)
        pid = start_program(self.session, line)
        return Job(pid, stat(pid)[1], members(os.getpgid(pid)), way)

    def event(self, job):
        """An event that may come now, by name; those that end the job
        rarer than the others, so that sequences run on."""
        if ended(job.pid):
            # Ended in the background, with the rest of its job stopped.
            return self.rng.choice(["bg", "fg"])
        if job.stopped:
            chosen = {"bg": 3, "fg": 3, "kill -CONT typed": 3, "SIGCONT": 2}
        else:
            chosen = {"SIGSTOP": 3, "SIGTSTP": 3, "SIGCONT": 1, "a key": 1}
        if not job.raw_left:
            chosen["SIGTERM"] = 1
            if job.way == "under sh":
                chosen["sh killed"] = 1
        return self.rng.choices(list(chosen), weights=list(chosen.values()))[0]

    def ended_in_the_foreground(self, job, signalled):
        """The job has ended in the foreground: the shell reports its status."""
        shell_has_the_terminal(self.session)
        wait_until(lambda: the_job_ended(job), "the job ends")
        job.done = True
        shell = SHELLS[SHELL]
        alone = job.way == "alone"
        returned = shell.fg_returns_the_jobs or not job.brought_back
        expected = shell.signalled(signal.SIGTERM) if signalled and alone and returned else 0
        self.test.assertEqual(status(self.session), expected, "the job's status")

    def in_the_background(self, job):
        """Continued in the background, the program stops again by SIGTTOU,
        or ends there by the SIGTERM pending; the rest of its job ends then,
        unless it is stopped, continued only the program was."""
        wait_until(lambda: done_by_itself(job.members), "the job is done in the background")
        job.done = the_job_ended(job)
        job.stopped = not job.done

    def play(self, job, event):
        self.steps.append(event)
        session = self.session
        if event in ("SIGSTOP", "SIGTSTP"):
            os.killpg(os.getpgid(job.pid), getattr(signal, event))
            shell_has_the_terminal(session)
            wait_until(lambda: done_by_itself(job.members) and stopped(job.pid), "the job stops")
            job.stopped = True
            if event == "SIGSTOP":
                job.raw_left = not SHELLS[SHELL].puts_back_its_own
                job.shells_settings = job.shells_settings or SHELLS[SHELL].keeps_the_jobs_mode
        elif event == "SIGCONT" and not job.stopped:
            os.kill(job.pid, signal.SIGCONT)
            wait_for_the_key(self.fd, job.pid)
        elif event == "SIGCONT":
            os.kill(job.pid, signal.SIGCONT)
            self.in_the_background(job)
        elif event == "kill -CONT typed":
            run(session, f"/bin/kill -CONT {job.pid}")
            self.in_the_background(job)
        elif event == "bg":
            run(session, "bg")
            self.in_the_background(job)
        elif event == "fg":
            session.child.send("fg" + enter(self.fd))
            wait_until(
                lambda: the_job_ended(job) or waits_for_the_key(self.fd, job.pid),
                "the job ends, or the program waits for a key in raw mode",
            )
            job.stopped = job.raw_left = False
            job.brought_back = True
            if ended(job.pid):
                self.ended_in_the_foreground(job, signalled=job.ending)
        elif event == "a key":
            session.child.send("x")
            self.ended_in_the_foreground(job, signalled=False)
        elif event == "SIGTERM" and not job.stopped:
            os.kill(job.pid, signal.SIGTERM)
            self.ended_in_the_foreground(job, signalled=True)
        elif event == "SIGTERM":
            os.kill(job.pid, signal.SIGTERM)
            job.ending = True
        elif event == "sh killed":
            job.shells_settings = job.shells_settings or SHELLS[SHELL].takes_a_jobs_settings
            os.kill(job.parent, signal.SIGKILL)
            shell_has_the_terminal(session)
            wait_until(lambda: ended(job.pid), "the program ends", A_FEW_LOOKS)
            wait_until(lambda: the_job_ended(job), "the job ends")
            job.done = True

    def finish(self, job):
        """Brings the job back and ends it by a key, as a person would."""
        if not job.done and job.stopped:
            self.play(job, "fg")
        if not job.done:
            self.play(job, "a key")


class RandomSequences(unittest.TestCase):
    # Each sequence: the program started one of three ways, then events
    # drawn at random, then `fg` and a key if it still runs. Whatever the
    # order, the job ends, the shell lists no job, and its settings are as
    # they were.
    def test_random_sequences(self):
        chosen = os.environ.get("AVOIDREC_SEED")
        seeds = [int(chosen)] if chosen else SEEDS
        deadline = time.monotonic() + RANDOM_BUDGET
        for seed in seeds:
            if time.monotonic() > deadline:
                break
            with self.subTest(seed=seed), shell_session() as session:
                rng = random.Random(f"{SHELL} {seed}")
                sequence = Sequence(self, session, rng)
                try:
                    job = sequence.start()
                    session.programs.append(os.getpgid(job.pid))
                    for _ in range(rng.randint(1, LONGEST)):
                        if job.done:
                            break
                        sequence.play(job, sequence.event(job))
                    sequence.finish(job)
                    self.assertEqual([pid for pid in job.members if not ended(pid)], [], "left running")
                    self.assertEqual(jobs_left(session), "", "jobs left")
                    if not job.shells_settings:
                        self.assertEqual(settings(session), sequence.before)
                except BaseException:
                    print(f"\nseed {seed} (AVOIDREC_SEED={seed}): {' -> '.join(sequence.steps)}", file=sys.stderr)
                    raise


def main(args):
    global EXE, SHELL
    shells = [*SHELLS, NO_JOB_CONTROL]
    if len(args) not in (2, 3) or args[1] not in shells or args[2:] not in ([], [RANDOM]):
        sys.exit(f"usage: {sys.argv[0]} EXE {'|'.join(shells)} [{RANDOM}]")
    EXE = os.environ.get("AVOIDREC_EXE") or args[0]
    SHELL = args[1]
    if pexpect is None:
        print("skipped: pexpect is not installed (Debian: python3-pexpect)")
        return SKIPPED
    if SHELL != NO_JOB_CONTROL and shutil.which(SHELLS[SHELL].command[0]) is None:
        print(f"skipped: {SHELL} is not installed")
        return SKIPPED
    # A fault here must not leave core files behind.
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    if args[2:] == [RANDOM]:
        case = RandomSequences
    else:
        case = NoJobControl if SHELL == NO_JOB_CONTROL else UnderShell
    loader = unittest.TestLoader()
    # AVOIDREC_TESTS in the environment: the tests whose names match, as
    # unittest's -k takes them.
    if os.environ.get("AVOIDREC_TESTS"):
        loader.testNamePatterns = [f"*{os.environ['AVOIDREC_TESTS']}*"]
    suite = loader.loadTestsFromTestCase(case)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
