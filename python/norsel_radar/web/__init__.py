"""The dashboard: a local web server that follows a radar in a browser tab.

- `board`: what the page shows (rows, severity history, the log of alerts
  raised and cleared, the spec, the feed), built from the radar's reports;
- `hub`: the board's stream of server-sent events to every viewer, one
  encoding per update, bounded per viewer;
- `app`: the ASGI application (Starlette): the page, its assets, the stream,
  the token rule; read-only;
- `sources`: what feeds the radar: a replay of a file; `live`: an exchange
  through the ccxt adapter;
- `server`: uvicorn, the listening socket and a clean stop;
- `static/`: the page (plain HTML, CSS and JavaScript, no CDN).

Runs on starlette and uvicorn; ``norsel-radar serve`` is the command.
"""
