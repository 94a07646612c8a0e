#!/usr/bin/env python3
"""Writes the recorded exchange sessions the adapter tests replay.

The messages follow the exchanges' published formats: Binance USD-M futures
(REST exchangeInfo, depth, openInterest, premiumIndex; the combined streams'
markPriceUpdate, depthUpdate, bookTicker and forceOrder events) and Bybit
v5 linear (instruments-info, tickers snapshot/delta, orderbook.50
snapshot/delta, liquidation). The values are made up, seeded, so that the
files are reproducible:

    python tests/data/make_recordings.py

Planted: on Binance, ETHUSDT has a burst of long liquidations and SOLUSDT
an open-interest surge while its price falls; on Bybit, BTCUSDT's funding
flips sign and ETHUSDT has liquidations.
"""

from __future__ import annotations

import json
import pathlib
import random
from typing import Any, Dict, List

HERE = pathlib.Path(__file__).resolve().parent
T0 = 1717200000000  # 2024-06-01 00:00:00 UTC, in ms
STEPS = 40  # seconds of market time
BINANCE = {
    # symbol: (base, price, open interest, tick, qty step, price digits, qty digits)
    "BTCUSDT": ("BTC", 67000.0, 80000.0, "0.10", "0.001", 1, 3),
    "ETHUSDT": ("ETH", 3800.0, 900000.0, "0.01", "0.001", 2, 3),
    "SOLUSDT": ("SOL", 165.0, 9000000.0, "0.0100", "1", 2, 0),
    "XRPUSDT": ("XRP", 0.52, 400000000.0, "0.0001", "0.1", 4, 1),
}
BYBIT = {
    "BTCUSDT": ("BTC", 67010.0, 55000.0, "0.10", "0.001", 1, 3),
    "ETHUSDT": ("ETH", 3801.0, 600000.0, "0.01", "0.01", 2, 2),
}
# What is the same for every symbol, as the exchanges send it; a null is
# filled in per symbol (it holds the field's place).
BINANCE_SYMBOL = json.loads("""{"symbol": null, "pair": null, "contractType": "PERPETUAL",
"deliveryDate": 4133404800000, "onboardDate": 1569398400000, "status": "TRADING",
"maintMarginPercent": "2.5000", "requiredMarginPercent": "5.0000", "baseAsset": null,
"quoteAsset": "USDT", "marginAsset": "USDT", "pricePrecision": null, "quantityPrecision": null,
"baseAssetPrecision": 8, "quotePrecision": 8, "underlyingType": "COIN",
"underlyingSubType": ["Layer-1"], "settlePlan": 0, "triggerProtect": "0.0500",
"liquidationFee": "0.012500", "marketTakeBound": "0.05", "maxMoveOrderLimit": 10000,
"filters": null, "orderTypes": ["LIMIT", "MARKET", "STOP", "STOP_MARKET", "TAKE_PROFIT"],
"timeInForce": ["GTC", "IOC", "FOK", "GTX", "GTD"], "permissionSets": ["GRID", "COPY"]}""")
BINANCE_FILTERS = json.loads("""[{"filterType": "MAX_NUM_ORDERS", "limit": 200},
{"filterType": "MAX_NUM_ALGO_ORDERS", "limit": 10}, {"filterType": "MIN_NOTIONAL", "notional": "5"},
{"filterType": "PERCENT_PRICE", "multiplierUp": "1.0500", "multiplierDown": "0.9500",
 "multiplierDecimal": "4"}]""")
BINANCE_INFO = json.loads("""{"timezone": "UTC", "serverTime": 1717200000000,
"futuresType": "U_MARGINED", "rateLimits": [{"rateLimitType": "REQUEST_WEIGHT",
"interval": "MINUTE", "intervalNum": 1, "limit": 2400}], "exchangeFilters": [],
"assets": [{"asset": "USDT", "marginAvailable": true, "autoAssetExchange": "-10000"}]}""")
BYBIT_INSTRUMENT = json.loads("""{"symbol": null, "contractType": "LinearPerpetual",
"status": "Trading", "baseCoin": null, "quoteCoin": "USDT", "launchTime": "1585526400000",
"deliveryTime": "0", "deliveryFeeRate": "", "priceScale": null,
"leverageFilter": {"minLeverage": "1", "maxLeverage": "100.00", "leverageStep": "0.01"},
"priceFilter": null, "lotSizeFilter": {"maxOrderQty": "1190.000", "minOrderQty": null,
"qtyStep": null, "postOnlyMaxOrderQty": "1190.000", "maxMktOrderQty": "500.000",
"minNotionalValue": "5"}, "unifiedMarginTrade": true, "fundingInterval": 480,
"settleCoin": "USDT", "copyTrading": "both", "upperFundingRate": "0.00375",
"lowerFundingRate": "-0.00375", "isPreListing": false, "preListingInfo": null}""")
# A ticker snapshot: a delta's fields (null here) and more.
BYBIT_SNAPSHOT = json.loads("""{"symbol": null, "tickDirection": "PlusTick",
"price24hPcnt": "0.012", "lastPrice": null, "prevPrice24h": null, "highPrice24h": null,
"lowPrice24h": null, "prevPrice1h": null, "markPrice": null, "indexPrice": null,
"openInterest": null, "openInterestValue": null, "turnover24h": "1570383121.94",
"volume24h": "91705.276", "nextFundingTime": "1717228800000", "fundingRate": null}""")


def fmt(x: float, digits: int) -> str:
    return f"{x:.{digits}f}"


def fields(names: str, *values: Any) -> Dict[str, Any]:
    return dict(zip(names.split(), values))


def book_levels(mid: float, tick: float, pd: int, qd: int, rng: random.Random, n: int = 20):
    bids = [[fmt(mid - tick * (i + 1), pd), fmt(rng.uniform(1, 10), qd)] for i in range(n)]
    asks = [[fmt(mid + tick * (i + 1), pd), fmt(rng.uniform(1, 10), qd)] for i in range(n)]
    return bids, asks


def price_filter(price: float, tick: str, pd: int) -> Dict[str, str]:
    return fields("minPrice maxPrice tickSize", fmt(price / 100, pd), fmt(price * 100, pd), tick)


def binance_exchange_info() -> Dict[str, Any]:
    symbols = []
    for sym, (base, price, _, tick, step, pd, qd) in BINANCE.items():
        lots = [fields("minQty maxQty stepSize", step, top, step) for top in ("1000000", "100000")]
        filters = [
            {"filterType": "PRICE_FILTER", **price_filter(price, tick, pd)},
            {"filterType": "LOT_SIZE", **lots[0]},
            {"filterType": "MARKET_LOT_SIZE", **lots[1]},
            *BINANCE_FILTERS,
        ]
        own = fields(
            "symbol pair baseAsset pricePrecision quantityPrecision", sym, sym, base, pd, qd
        )
        symbols.append({**BINANCE_SYMBOL, **own, "filters": filters})
    return {**BINANCE_INFO, "symbols": symbols}


def binance() -> Dict[str, Any]:
    rng = random.Random(15)
    session: List[List[Any]] = []  # [receipt ms, "ws" or "rest", message]
    rest: Dict[str, List[Any]] = {"/fapi/v1/premiumIndex": []}

    def ws(receipt: int, sym: str, stream: str, data: Dict[str, Any]) -> None:
        session.append([receipt, "ws", {"stream": f"{sym.lower()}@{stream}", "data": data}])

    depth, update_id = {}, {}
    for sym, (_, price, _, tick, _, pd, qd) in BINANCE.items():
        bids, asks = book_levels(price, float(tick) * 10, pd, qd, rng)
        update_id[sym] = 1000 + rng.randrange(1000)
        depth[sym] = fields(
            "lastUpdateId E T bids asks", update_id[sym], T0 - 5, T0 - 6, bids, asks
        )
    state = {sym: [v[1], v[2]] for sym, v in BINANCE.items()}
    funding_time = T0 + 8 * 3600 * 1000
    for step in range(STEPS):
        now = T0 + step * 1000
        rest["/fapi/v1/premiumIndex"].append([])
        for sym, (_, _, _, tick, _, pd, qd) in BINANCE.items():
            price, oi = state[sym]
            price *= 1 + rng.gauss(0, 0.0003)
            oi *= 1 + rng.gauss(0, 0.0005)
            if sym == "SOLUSDT" and step >= STEPS - 21:  # open interest up 15%, price down 5%
                oi *= 1.15 ** (1 / 20)
                price *= 0.95 ** (1 / 20)
            state[sym] = [price, oi]
            prices = [fmt(price * f, pd + 2) for f in (1, 0.9999, 0.9998)]
            rest["/fapi/v1/premiumIndex"][-1].append(
                fields(
                    "symbol markPrice indexPrice estimatedSettlePrice lastFundingRate"
                    " interestRate nextFundingTime time",
                    *(sym, *prices, "0.00010000", "0.00010000", funding_time, now),
                )
            )
            mark = fields("e E s p i P r T", "markPriceUpdate", now, sym, *prices, "0.00010000")
            ws(now + 3, sym, "markPrice@1s", {**mark, "T": funding_time})
            open_interest = {"symbol": sym, "openInterest": fmt(oi, qd), "time": now + 1}
            session.append([now + 40, "rest", open_interest])
            rest.setdefault(f"/fapi/v1/openInterest?symbol={sym}", []).append(open_interest)
            # one depth update a second: two levels a side change
            first = update_id[sym] + 1
            update_id[sym] += 3
            bids, asks = book_levels(price, float(tick) * 10, pd, qd, rng, n=2)
            ids = (first - 1 if step == 0 else first, update_id[sym], first - 1)
            update = fields("e E T s U u pu b a", "depthUpdate", now + 5, now + 4, sym, *ids)
            ws(now + 7, sym, "depth@100ms", {**update, "b": bids, "a": asks})
            if step % 10 == 5:
                top = (update_id[sym], sym, *bids[0], *asks[0], now + 6, now + 7)
                ws(now + 8, sym, "bookTicker", fields("e u s b B a A T E", "bookTicker", *top))
            burst = sym == "ETHUSDT" and STEPS - 12 <= step < STEPS - 2
            if burst or (step % 13 == 7 and sym != "ETHUSDT"):
                qty = fmt(rng.uniform(60, 120) if burst else rng.uniform(0.5, 2.0), qd)
                order = fields(
                    "s S o f q p ap X l z T",
                    *(sym, "SELL", "LIMIT", "IOC", qty, fmt(price * 0.998, pd)),
                    *(fmt(price * 0.999, pd), "FILLED", qty, qty, now + 497),
                )
                ws(now + 500, sym, "forceOrder", {"e": "forceOrder", "E": now + 498, "o": order})
    session.sort(key=lambda item: item[0])
    for sym, snapshot in depth.items():
        rest[f"/fapi/v1/depth?symbol={sym}"] = [snapshot]
    rest["/fapi/v1/exchangeInfo"] = [binance_exchange_info()]
    return {"depth": depth, "rest": rest, "session": session}


def bybit_instruments() -> Dict[str, Any]:
    linear = []
    for sym, (base, price, _, tick, step, pd, _) in BYBIT.items():
        prices = price_filter(price, tick, pd)
        lots = {**BYBIT_INSTRUMENT["lotSizeFilter"], "minOrderQty": step, "qtyStep": step}
        own = fields("symbol baseCoin priceScale", sym, base, str(pd))
        linear.append({**BYBIT_INSTRUMENT, **own, "priceFilter": prices, "lotSizeFilter": lots})
    page = {"retCode": 0, "retMsg": "OK", "retExtInfo": {}, "time": T0}
    return {
        "linear": {**page, "result": {"category": "linear", "list": linear, "nextPageCursor": ""}},
        "spot": {**page, "result": {"category": "spot", "list": []}},
    }


def bybit() -> Dict[str, Any]:
    rng = random.Random(16)
    session: List[List[Any]] = []  # [receipt ms, message]

    def add(receipt: int, topic: str, **message: Any) -> None:
        session.append([receipt, {"topic": topic, **message}])

    state = {sym: [v[1], v[2]] for sym, v in BYBIT.items()}
    for step in range(STEPS):
        now = T0 + step * 1000
        for sym, (_, _, _, tick, _, pd, qd) in BYBIT.items():
            price, oi = state[sym]
            price *= 1 + rng.gauss(0, 0.0003)
            oi *= 1 + rng.gauss(0, 0.0005)
            state[sym] = [price, oi]
            funding = "0.00040000"
            if sym == "BTCUSDT" and step >= STEPS // 2:
                funding = "-0.00060000"  # flips sign half way
            bids, asks = book_levels(price, float(tick) * 10, pd, qd, rng, n=25)
            ticker = fields(
                "symbol markPrice indexPrice openInterest openInterestValue fundingRate"
                " bid1Price bid1Size ask1Price ask1Size",
                *(sym, fmt(price, pd), fmt(price * 0.9999, pd), fmt(oi, qd)),
                *(fmt(oi * price, 2), funding, *bids[0], *asks[0]),
            )
            kind, levels = ("snapshot", 25) if step == 0 else ("delta", 2)
            if step == 0:
                day = (fmt(price * f, pd) for f in (1, 0.99, 1.01, 0.98, 1))
                names = "lastPrice prevPrice24h highPrice24h lowPrice24h prevPrice1h"
                ticker = {**BYBIT_SNAPSHOT, **ticker, **fields(names, *day)}
            add(now + 2, f"tickers.{sym}", type=kind, data=ticker, cs=24987956059 + step, ts=now)
            book = fields(
                "s b a u seq", sym, bids[:levels], asks[:levels], step + 1, 7961638724 + step
            )
            add(now + 3, f"orderbook.50.{sym}", type=kind, ts=now + 1, data=book, cts=now)
            if sym == "ETHUSDT" and step % 4 == 3:
                size = fmt(rng.uniform(5, 40), qd)
                liq = fields("updatedTime symbol side size", now + 598, sym, "Buy", size)
                liq["price"] = fmt(price * 0.997, pd)
                add(now + 600, f"liquidation.{sym}", type="snapshot", ts=now + 599, data=liq)
    session.sort(key=lambda item: item[0])
    instruments = bybit_instruments()
    rest = {
        "/v5/market/instruments-info?category=linear&limit=1000": [instruments["linear"]],
        # every other category and page ccxt asks for: none listed
        "/v5/market/instruments-info?*": [instruments["spot"]],
    }
    return {"instruments": instruments, "rest": rest, "session": session}


def main() -> None:
    for name, data in (("binance_usdm.json", binance()), ("bybit_linear.json", bybit())):
        path = HERE / name
        path.write_text(json.dumps(data, separators=(",", ":")) + "\n", encoding="utf-8")
        print(f"wrote {path} ({path.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main()
