"""Plays a cartridge in a window, with sound when there is a sound device.

Usage: play.py [ROM] [--scale N] [--mute] [--frames N] [--record FOLDER [--seed S]]

Keys: arrows = d-pad, X = A, Z = B, Enter = Start, Right Shift = Select,
F5 = save state (slot 0), F9 = load state (slot 0), Esc = quit.

Pacing: the window's own loop steps the console with runFrame() and sleeps
to the console's frame rate (60.1 Hz) against the wall clock; there is no run
thread. One thread then owns the console, so pad, save states and the audio
blocks (fetched after every frame, so none is lost) need no care. runFrame()
does not write battery RAM; stop() does, and without a run thread it then
raises RuntimeError, which quitting expects and ignores.

Sound goes through the sounddevice package (PortAudio). Without it, or
without a sound device, the game plays silent and says why.

--record FOLDER plays through kestrix_gym's NESEnv instead (buttons as
MultiBinary actions, one frame a step, no idle frames, reset with --seed) and
writes the episode in kestrix_gym's recording format to FOLDER when the game
quits: a human demonstration that kestrix_gym.replay() plays back exactly.
Save states are off while recording (a load would leave the recording)."""
from __future__ import annotations

import argparse
import os
import pathlib
import sys
import threading
import time
from typing import Any

import kestrix
from media import FRAME_HZ, SAMPLE_RATE, CartridgeError, default_rom, open_console

os.environ.setdefault("PYGAME_HIDE_SUPPORT_PROMPT", "1")
try:
    import pygame
    HAVE_PYGAME = True
except ImportError:
    HAVE_PYGAME = False

# Keys of each pad button, in Controller.updateInputs order: A, B, Select,
# Start, Up, Down, Left, Right.
KEYS = ("K_x",), ("K_z",), ("K_RSHIFT",), ("K_RETURN", "K_KP_ENTER"), ("K_UP",), ("K_DOWN",), ("K_LEFT",), ("K_RIGHT",)

STATE_SLOT = 0


class Sound:
    """Feeds getAudio blocks to a sounddevice output stream. The stream's
    callback runs on PortAudio's thread and takes what has been queued,
    padding with silence when the queue runs dry."""

    MAX_QUEUED = SAMPLE_RATE // 8 * 2  # bytes: 125 ms, beyond which old sound is dropped

    def __init__(self) -> None:
        self._queue = bytearray()
        self._lock = threading.Lock()
        self._stream: Any = None
        self.problem = ""
        try:
            import sounddevice as sd
        except (ImportError, OSError) as e:  # OSError: the package is there, PortAudio is not
            self.problem = f"sounddevice unavailable ({e})"
            return
        try:
            self._stream = sd.RawOutputStream(samplerate=SAMPLE_RATE, channels=1, dtype="int16",
                                              latency="low", callback=self._fill)
            self._stream.start()
        except Exception as e:  # PortAudioError, or ValueError for a missing default device
            self._stream = None
            self.problem = f"no sound device ({e})"

    @property
    def active(self) -> bool:
        return self._stream is not None

    def _fill(self, outdata: Any, frames: int, time_info: Any, status: Any) -> None:
        n = len(outdata)
        with self._lock:
            take = min(n, len(self._queue))
            outdata[:take] = self._queue[:take]
            del self._queue[:take]
        if take < n:
            outdata[take:] = bytes(n - take)

    def push(self, block: bytes) -> None:
        if not self._stream or not block:
            return
        with self._lock:
            self._queue += block
            if len(self._queue) > self.MAX_QUEUED:
                del self._queue[:len(self._queue) - self.MAX_QUEUED]

    def close(self) -> None:
        if self._stream is not None:
            self._stream.stop()
            self._stream.close()
            self._stream = None


class Player:
    """The console, its pad and the window: one step per displayed frame."""

    def __init__(self, nes: kestrix.NES, screen: Any, sound: Sound | None = None) -> None:
        self.nes = nes
        self.pad = kestrix.Controller()
        nes.setController(self.pad, 0)
        self.open_window(screen, sound)

    def open_window(self, screen: Any, sound: Sound | None) -> None:
        self.screen = screen
        self.sound = sound
        self.keycodes = [[getattr(pygame, name) for name in names] for names in KEYS]
        self.running = True
        self.frames = 0

    def handle(self, event: Any) -> str | None:
        """Acts on one window event; returns a status message, if any."""
        if event.type == pygame.QUIT:
            self.running = False
        elif event.type == pygame.KEYDOWN:
            if event.key == pygame.K_ESCAPE:
                self.running = False
            elif event.key == pygame.K_F5:
                try:
                    self.nes.saveState(STATE_SLOT)
                except OSError as e:
                    return f"state not saved: {e}"
                return f"state saved to slot {STATE_SLOT}"
            elif event.key == pygame.K_F9:
                try:
                    found = self.nes.loadState(STATE_SLOT)
                except ValueError as e:
                    return f"state not loaded: {e}"
                return f"state loaded from slot {STATE_SLOT}" if found else f"slot {STATE_SLOT} is empty"
        return None

    def buttons(self, pressed: Any) -> list[bool]:
        """The pad's eight flags from pygame.key.get_pressed()."""
        return [any(pressed[code] for code in codes) for codes in self.keycodes]

    def step(self, pressed: Any) -> None:
        self.pad.updateInputs(self.buttons(pressed))
        self.nes.runFrame()
        self.frames += 1
        if self.sound is not None:
            self.sound.push(self.nes.getAudio()[0])
        self.draw()

    def draw(self) -> None:
        frame = pygame.image.frombuffer(self.nes.getImg().tobytes(), (256, 240), "RGB")
        self.screen.blit(pygame.transform.scale(frame, self.screen.get_size()), (0, 0))
        pygame.display.flip()

    def quit(self) -> None:
        """Writes battery RAM (stop() does it before it finds no run thread)."""
        try:
            self.nes.stop()
        except RuntimeError:
            pass  # no run thread: expected, the RAM file was written first
        if self.sound is not None:
            self.sound.close()


class RecordingPlayer(Player):
    """Player on a recorded NESEnv episode (see --record)."""

    OPTIONS = {"actions": "multi-binary", "frame_skip": 1, "noop_max": 0}

    def __init__(self, rom: pathlib.Path, folder: pathlib.Path, seed: int, screen: Any,
                 sound: Sound | None = None) -> None:
        from kestrix_gym import NESEnv, RecordEpisode
        self.env = RecordEpisode(NESEnv(rom, **self.OPTIONS), folder)
        self.env.reset(seed=seed)
        self.open_window(screen, sound)

    def handle(self, event: Any) -> str | None:
        if event.type == pygame.KEYDOWN and event.key in (pygame.K_F5, pygame.K_F9):
            return "save states are off while recording"
        return super().handle(event)

    def step(self, pressed: Any) -> None:
        _, _, terminated, truncated, _ = self.env.step(self.buttons(pressed))
        self.frames += 1
        self.running = self.running and not (terminated or truncated)
        if self.sound is not None:
            self.sound.push(self.env.unwrapped.audio())
        self.draw()

    def draw(self) -> None:
        frame = pygame.image.frombuffer(self.env.unwrapped.picture.tobytes(), (256, 240), "RGB")
        self.screen.blit(pygame.transform.scale(frame, self.screen.get_size()), (0, 0))
        pygame.display.flip()

    def quit(self) -> None:
        self.env.close()  # writes the recording
        for path in self.env.paths:
            print(f"recorded {self.frames} steps to {path}", file=sys.stderr)
        if self.sound is not None:
            self.sound.close()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=None, help="cartridge image (.nes)")
    ap.add_argument("--scale", type=int, default=3, help="window size in multiples of 256 x 240 (default 3)")
    ap.add_argument("--mute", action="store_true", help="no sound")
    ap.add_argument("--frames", type=int, default=0, help="quit after N frames (0: play until Esc)")
    ap.add_argument("--record", type=pathlib.Path, default=None, metavar="FOLDER",
                    help="play through kestrix_gym and record the episode into FOLDER")
    ap.add_argument("--seed", type=int, default=0, help="the recorded episode's seed (default 0)")
    args = ap.parse_args(argv)
    rom = pathlib.Path(args.rom) if args.rom else default_rom()
    nes = None
    if args.record is None:
        try:
            nes = open_console(rom, log=sys.stderr)
        except CartridgeError as e:
            print(e, file=sys.stderr)
            return 2
    if not HAVE_PYGAME:
        print("play.py needs pygame-ce: pip install pygame-ce", file=sys.stderr)
        return 1

    pygame.display.init()
    screen = pygame.display.set_mode((256 * max(1, args.scale), 240 * max(1, args.scale)))
    pygame.display.set_caption(f"kestrix - {rom.stem}")
    sound = None
    if not args.mute:
        sound = Sound()
        if not sound.active:
            print(f"playing without sound: {sound.problem}", file=sys.stderr)
            sound = None
    if nes is None:
        try:
            player: Player = RecordingPlayer(rom, args.record, args.seed, screen, sound)
        except (OSError, ValueError) as e:
            print(f"cannot record {rom}: {e}", file=sys.stderr)
            pygame.quit()
            return 2
    else:
        player = Player(nes, screen, sound)

    period = 1.0 / FRAME_HZ
    deadline = time.perf_counter()
    try:
        while player.running:
            for event in pygame.event.get():
                message = player.handle(event)
                if message:
                    print(message, file=sys.stderr)
                    pygame.display.set_caption(f"kestrix - {rom.stem} - {message}")
            if not player.running:
                break
            player.step(pygame.key.get_pressed())
            if args.frames and player.frames >= args.frames:
                break
            deadline += period
            delay = deadline - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
            elif delay < -0.25:
                deadline = time.perf_counter()  # fell far behind (window dragged, ...): do not race to catch up
    finally:
        player.quit()
        pygame.quit()
    print(f"played {player.frames} frames", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
