#!/usr/bin/env python3
"""A TCP relay on loopback that delays every byte by a fixed time each way.

Stands in for a network with latency where the kernel's netem queueing
discipline is not available. Each accepted connection is opened towards the
target only after the delay (the connection request travelling out), and
every chunk read from either side is written to the other side the delay
after it arrived, in order; an end of stream travels the same way. Both
sockets use TCP_NODELAY, so the relay adds no batching of its own.

Usage: delay-relay.py TARGET_HOST TARGET_PORT DELAY_MS [PORT_FILE]
Listens on a free 127.0.0.1 port, writes that port to PORT_FILE (or prints
it), and runs until it is terminated.
"""
import asyncio
import socket
import sys


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def delayed_pipe(reader, writer_future, delay):
    """Copies reader to the writer that writer_future yields, each chunk
    written `delay` seconds after it was read."""
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        while True:
            try:
                data = await reader.read(65536)
            except (ConnectionError, OSError):
                data = b""
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                return

    async def write_side():
        writer = await writer_future
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if writer is None:
                if not data:
                    return
                continue
            try:
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()
            except (ConnectionError, OSError):
                writer = None

    await asyncio.gather(read_side(), write_side())


async def serve(target_host, target_port, delay, port_file):
    # The event loop holds its tasks weakly: a connection's task is kept
    # here until it ends, or it could be collected while still waiting.
    running = set()

    async def handle(client_reader, client_writer):
        task = asyncio.current_task()
        running.add(task)
        task.add_done_callback(running.discard)
        no_delay(client_writer)
        loop = asyncio.get_running_loop()
        upstream = loop.create_future()
        client_side = loop.create_future()
        client_side.set_result(client_writer)

        async def connect():
            await asyncio.sleep(delay)
            try:
                r, w = await asyncio.open_connection(target_host, target_port)
            except OSError:
                upstream.set_result(None)
                client_writer.close()
                return None
            no_delay(w)
            upstream.set_result(w)
            return r

        async def server_to_client():
            r = await connect()
            if r is not None:
                await delayed_pipe(r, client_side, delay)

        try:
            await asyncio.gather(delayed_pipe(client_reader, upstream, delay), server_to_client())
        finally:
            for w in (client_writer, upstream.result() if upstream.done() else None):
                if w is not None:
                    w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=128)
    port = server.sockets[0].getsockname()[1]
    if port_file:
        with open(port_file + ".tmp", "w") as f:
            f.write(f"{port}\n")
        import os
        os.replace(port_file + ".tmp", port_file)
    else:
        print(port, flush=True)
    async with server:
        await server.serve_forever()


def main():
    if len(sys.argv) not in (4, 5):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    host, port, delay_ms = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    port_file = sys.argv[4] if len(sys.argv) == 5 else None
    try:
        asyncio.run(serve(host, port, delay_ms / 1000.0, port_file))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
