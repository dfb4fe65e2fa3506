"""_distributed.py: every use this package makes of distributed beyond its documented API.

The rest of the package calls distributed's documented client, future and
worker plugin API, and reaches past it only through the functions here,
each saying why it has to and what public call is missing.  They are
checked against a real cluster by the tests (test_dask_cluster.py), one
test per name in ``USES``, which fails naming the one that changed, so that a
distributed release that moves any of them shows here first.
"""
from __future__ import annotations

from collections.abc import Awaitable, Callable, Collection, MutableMapping
from concurrent.futures import Executor
from typing import Any

from distributed import Client
from distributed.protocol.serialize import to_serialize as _to_serialize

__all__ = [
    "USES",
    "add_handler",
    "call_worker",
    "lift_restrictions",
    "remove_handler",
    "run",
    "serialized",
    "task_executor",
    "who_has",
    "worker_data",
]

# What the functions below rely on, by the name the tests report.
USES = (
    "Worker.data",
    "Worker.executors",
    "Worker.handlers",
    "Client.rpc",
    "Client.scheduler",
    "Client.sync",
    "Scheduler.who_has",
    "Scheduler.set_restrictions",
    "protocol.to_serialize",
)


# -- on a worker -------------------------------------------------------------


def worker_data(worker: Any) -> MutableMapping[Any, Any]:
    """The worker's {task key: value} mapping.

    The search handler looks the shards up there itself: a task would have to
    be scheduled for every search (a round trip of about 10 ms), and a
    plugin has no documented way to read a key the worker holds."""
    data: MutableMapping[Any, Any] = worker.data
    return data


def task_executor(worker: Any) -> Executor:
    """The pool the worker runs its tasks on.

    The search handler runs each shard's search there, so that searches
    share the worker's task threads (and a search holding the interpreter
    lock stays off the event loop); the worker documents ``executors`` only
    as internal state, and no public call runs a function on its threads
    outside a task."""
    executor: Executor = worker.executors["default"]
    return executor


def add_handler(worker: Any, name: str, handler: Callable[..., Awaitable[Any]]) -> None:
    """Makes ``handler`` answer the requests named ``name`` sent to the worker.

    A worker plugin can run code when a worker starts, but has no documented
    way to answer a request of its own: the worker's ``handlers`` table, which
    calls a handler with the request's fields as keywords and sends back what
    it returns, is how the worker's own requests are answered."""
    worker.handlers[name] = handler


def remove_handler(worker: Any, name: str) -> None:
    worker.handlers.pop(name, None)


def serialized(value: Any) -> Any:
    """``value`` marked to travel in a request or a reply the way dask sends
    task data (pickled, arrays as buffers of their own) rather than as
    msgpack, which takes neither arrays nor our answers.  Only the task API
    does this by itself."""
    mark: Any = _to_serialize  # not annotated
    return mark(value)


# -- on the client -----------------------------------------------------------


def run[T](client: Client, function: Callable[..., Awaitable[T]], *args: Any, timeout: float | None) -> T:
    """Runs the coroutine ``function(*args)`` on the client's event loop and
    waits for it, raising TimeoutError after ``timeout`` seconds.

    The calls below are coroutines that must run on the client's loop (its
    connections live there); ``Client.sync`` is the helper distributed uses
    for its own blocking methods, and none of those does what they do."""
    c: Any = client
    result: T = c.sync(function, *args, callback_timeout=timeout)
    return result


async def call_worker(client: Client, address: str, name: str, **fields: Any) -> Any:
    """Sends the request ``name`` with ``fields`` to the worker at
    ``address`` and returns its reply, over the client's pooled connections.

    The documented ``Client.run`` would do the work on the worker's event
    loop (a search would stall the worker) and sends a pickled function with
    every call; ``Client.rpc`` is the client's own connection pool."""
    c: Any = client
    return await getattr(c.rpc(address), name)(**fields)


async def who_has(client: Client, keys: Collection[str]) -> dict[str, set[str]]:
    """{key: the workers that hold it now}, as the scheduler says.

    The documented ``Client.who_has`` blocks, and a search asks this from
    within its own coroutine while answers are pending; ``Client.scheduler``
    is the client's connection to the scheduler, and ``who_has`` the request
    that ``Client.who_has`` itself sends."""
    c: Any = client
    holders = await c.scheduler.who_has(keys=list(keys))
    return {key: set(workers) for key, workers in holders.items()}


def lift_restrictions(client: Client, keys: Collection[str]) -> None:
    """Lets the scheduler place the tasks of ``keys`` on any worker from now on.

    A shard is first placed on a chosen worker, loosely (``workers=`` with
    ``allow_other_workers=True``), but dask leaves a task whose only allowed
    worker is gone waiting for that worker, so a shard lost with it would
    never be rebuilt when every worker died.  There is no documented way to
    change a submitted task's restrictions; the scheduler's
    ``set_restrictions`` request does it."""
    c: Any = client
    c.sync(c.scheduler.set_restrictions, worker={key: None for key in keys})
