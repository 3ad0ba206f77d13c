#!/ usr / bin / python3
"""A live RTSP camera for tests: serves a clip in a loop on 127.0.0.1.

    tests/testing/rtsp_camera.py --port 18554 --clip vtest.avi [--fps 25]

serves rtsp://127.0.0.1:18554/cam as H.264 over RTP (a key frame a second), one frame every
1/fps seconds, from the first frame again after the last. Each client gets
its own pipeline, so a client that connects sees the clip from its start.
The clip is cut into JPEG frames first (with OpenCV's Python binding when
there is one, else ffmpeg) in a temporary folder that is removed at exit.
The script prints "ready" once the port listens, and runs until it is
killed (SIGTERM or SIGINT end it cleanly).
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def cut_frames(clip, folder, limit):
    pattern = os.path.join(folder, "%05d.jpg")
    command = ["ffmpeg", "-loglevel", "error", "-y", "-i", clip,
               "-q:v", "4", "-start_number", "0"]
    if limit > 0:
        command += ["-frames:v", str(limit)]
    subprocess.run(command + [pattern], check=True)
    count = len([n for n in os.listdir(folder) if n.endswith(".jpg")])
    if count == 0:
        sys.exit("no frames in " + clip)
    return pattern


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--clip", required=True)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--path", default="/cam")
    parser.add_argument("--frames", type=int, default=0,
                        help="serve only the first N frames (0: all)")
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="rtsp-camera-")
    try:
        pattern = cut_frames(args.clip, folder, args.frames)
        Gst.init(None)
        server = GstRtspServer.RTSPServer()
        server.set_address("127.0.0.1")
        server.set_service(str(args.port))
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch(
            "( multifilesrc location=%s index=0 loop=true "
            "caps=image/jpeg,framerate=%d/1 ! jpegdec ! videoconvert ! "
            "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=%d ! "
            "rtph264pay name=pay0 pt=96 )" % (pattern, args.fps, args.fps))
        factory.set_shared(False)
        server.get_mount_points().add_factory(args.path, factory)
        if server.attach(None) == 0:
            sys.exit("cannot listen on 127.0.0.1:%d" % args.port)
        loop = GLib.MainLoop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, sig, loop.quit)
        print("ready", flush=True)
        loop.run()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
