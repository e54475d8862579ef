"""The end-to-end demo: one guarded agent run inside one process.

    python -m tavrix_observe.demo          # the run report as aligned text
    python -m tavrix_observe.demo --json   # the same report as JSON

Everything the run talks to is on loopback: a fake LLM provider that speaks
a chat-completions-style JSON API and is reached as an HTTP forward proxy
(so the requests carry the provider's own URL), and a fake server-side
prompt guard that finds the names of people.
"""
