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


def fmt(x: float, digits: int) -> str:
    return f"{x:.{digits}f}"


# ---------------------------------------------------------------- Binance


def binance_exchange_info() -> Dict[str, Any]:
    symbols = []
    for sym, (base, price, _, tick, step, pd, qd) in BINANCE.items():
        symbols.append(
            {
                "symbol": sym,
                "pair": sym,
                "contractType": "PERPETUAL",
                "deliveryDate": 4133404800000,
                "onboardDate": 1569398400000,
                "status": "TRADING",
                "maintMarginPercent": "2.5000",
                "requiredMarginPercent": "5.0000",
                "baseAsset": base,
                "quoteAsset": "USDT",
                "marginAsset": "USDT",
                "pricePrecision": pd,
                "quantityPrecision": qd,
                "baseAssetPrecision": 8,
                "quotePrecision": 8,
                "underlyingType": "COIN",
                "underlyingSubType": ["Layer-1"],
                "settlePlan": 0,
                "triggerProtect": "0.0500",
                "liquidationFee": "0.012500",
                "marketTakeBound": "0.05",
                "maxMoveOrderLimit": 10000,
                "filters": [
                    {
                        "filterType": "PRICE_FILTER",
                        "minPrice": fmt(price / 100, pd),
                        "maxPrice": fmt(price * 100, pd),
                        "tickSize": tick,
                    },
                    {
                        "filterType": "LOT_SIZE",
                        "minQty": step,
                        "maxQty": "1000000",
                        "stepSize": step,
                    },
                    {
                        "filterType": "MARKET_LOT_SIZE",
                        "minQty": step,
                        "maxQty": "100000",
                        "stepSize": step,
                    },
                    {"filterType": "MAX_NUM_ORDERS", "limit": 200},
                    {"filterType": "MAX_NUM_ALGO_ORDERS", "limit": 10},
                    {"filterType": "MIN_NOTIONAL", "notional": "5"},
                    {
                        "filterType": "PERCENT_PRICE",
                        "multiplierUp": "1.0500",
                        "multiplierDown": "0.9500",
                        "multiplierDecimal": "4",
                    },
                ],
                "orderTypes": ["LIMIT", "MARKET", "STOP", "STOP_MARKET", "TAKE_PROFIT"],
                "timeInForce": ["GTC", "IOC", "FOK", "GTX", "GTD"],
                "permissionSets": ["GRID", "COPY"],
            }
        )
    return {
        "timezone": "UTC",
        "serverTime": T0,
        "futuresType": "U_MARGINED",
        "rateLimits": [
            {
                "rateLimitType": "REQUEST_WEIGHT",
                "interval": "MINUTE",
                "intervalNum": 1,
                "limit": 2400,
            }
        ],
        "exchangeFilters": [],
        "assets": [{"asset": "USDT", "marginAvailable": True, "autoAssetExchange": "-10000"}],
        "symbols": symbols,
    }


def book_levels(mid: float, tick: float, pd: int, qd: int, rng: random.Random, n: int = 20):
    bids = [[fmt(mid - tick * (i + 1), pd), fmt(rng.uniform(1, 10), qd)] for i in range(n)]
    asks = [[fmt(mid + tick * (i + 1), pd), fmt(rng.uniform(1, 10), qd)] for i in range(n)]
    return bids, asks


def binance() -> Dict[str, Any]:
    rng = random.Random(15)
    session: List[List[Any]] = []  # [receipt ms, "ws" or "rest", message]
    rest: Dict[str, List[Any]] = {}
    depth: Dict[str, Any] = {}
    update_id = {}
    for sym, (_, price, _, tick, _, pd, qd) in BINANCE.items():
        bids, asks = book_levels(price, float(tick) * 10, pd, qd, rng)
        update_id[sym] = 1000 + rng.randrange(1000)
        depth[sym] = {
            "lastUpdateId": update_id[sym],
            "E": T0 - 5,
            "T": T0 - 6,
            "bids": bids,
            "asks": asks,
        }
    state = {sym: [v[1], v[2]] for sym, v in BINANCE.items()}
    for step in range(STEPS):
        now = T0 + step * 1000
        premiums: List[Any] = []
        rest.setdefault("/fapi/v1/premiumIndex", []).append(premiums)
        for sym, (_, _, _, tick, _, pd, qd) in BINANCE.items():
            price, oi = state[sym]
            price *= 1 + rng.gauss(0, 0.0003)
            oi *= 1 + rng.gauss(0, 0.0005)
            if sym == "SOLUSDT" and step >= STEPS - 21:  # open interest up 15%, price down 5%
                oi *= 1.15 ** (1 / 20)
                price *= 0.95 ** (1 / 20)
            state[sym] = [price, oi]
            stream = sym.lower()
            premium = {
                "symbol": sym,
                "markPrice": fmt(price, pd + 2),
                "indexPrice": fmt(price * 0.9999, pd + 2),
                "estimatedSettlePrice": fmt(price * 0.9998, pd + 2),
                "lastFundingRate": "0.00010000",
                "interestRate": "0.00010000",
                "nextFundingTime": T0 + 8 * 3600 * 1000,
                "time": now,
            }
            session.append(
                [
                    now + 3,
                    "ws",
                    {
                        "stream": f"{stream}@markPrice@1s",
                        "data": {
                            "e": "markPriceUpdate",
                            "E": now,
                            "s": sym,
                            "p": premium["markPrice"],
                            "i": premium["indexPrice"],
                            "P": premium["estimatedSettlePrice"],
                            "r": premium["lastFundingRate"],
                            "T": premium["nextFundingTime"],
                        },
                    },
                ]
            )
            premiums.append(premium)
            open_interest = {"symbol": sym, "openInterest": fmt(oi, qd), "time": now + 1}
            session.append([now + 40, "rest", open_interest])
            rest.setdefault(f"/fapi/v1/openInterest?symbol={sym}", []).append(open_interest)
            # one depth update a second: two levels a side change
            first = update_id[sym] + 1
            update_id[sym] += 3
            bids, asks = book_levels(price, float(tick) * 10, pd, qd, rng, n=2)
            session.append(
                [
                    now + 7,
                    "ws",
                    {
                        "stream": f"{stream}@depth@100ms",
                        "data": {
                            "e": "depthUpdate",
                            "E": now + 5,
                            "T": now + 4,
                            "s": sym,
                            "U": first - 1 if step == 0 else first,
                            "u": update_id[sym],
                            "pu": first - 1,
                            "b": bids,
                            "a": asks,
                        },
                    },
                ]
            )
            if step % 10 == 5:
                session.append(
                    [
                        now + 8,
                        "ws",
                        {
                            "stream": f"{stream}@bookTicker",
                            "data": {
                                "e": "bookTicker",
                                "u": update_id[sym],
                                "s": sym,
                                "b": bids[0][0],
                                "B": bids[0][1],
                                "a": asks[0][0],
                                "A": asks[0][1],
                                "T": now + 6,
                                "E": now + 7,
                            },
                        },
                    ]
                )
            burst = sym == "ETHUSDT" and STEPS - 12 <= step < STEPS - 2
            if burst or (step % 13 == 7 and sym != "ETHUSDT"):
                qty = rng.uniform(60, 120) if burst else rng.uniform(0.5, 2.0)
                session.append(
                    [
                        now + 500,
                        "ws",
                        {
                            "stream": f"{stream}@forceOrder",
                            "data": {
                                "e": "forceOrder",
                                "E": now + 498,
                                "o": {
                                    "s": sym,
                                    "S": "SELL",
                                    "o": "LIMIT",
                                    "f": "IOC",
                                    "q": fmt(qty, qd),
                                    "p": fmt(price * 0.998, pd),
                                    "ap": fmt(price * 0.999, pd),
                                    "X": "FILLED",
                                    "l": fmt(qty, qd),
                                    "z": fmt(qty, qd),
                                    "T": now + 497,
                                },
                            },
                        },
                    ]
                )
    session.sort(key=lambda item: item[0])
    for sym, snapshot in depth.items():
        rest[f"/fapi/v1/depth?symbol={sym}"] = [snapshot]
    rest["/fapi/v1/exchangeInfo"] = [binance_exchange_info()]
    return {"depth": depth, "rest": rest, "session": session}


# ---------------------------------------------------------------- Bybit


def bybit_instruments() -> Dict[str, Any]:
    linear = []
    for sym, (base, price, _, tick, step, pd, _) in BYBIT.items():
        linear.append(
            {
                "symbol": sym,
                "contractType": "LinearPerpetual",
                "status": "Trading",
                "baseCoin": base,
                "quoteCoin": "USDT",
                "launchTime": "1585526400000",
                "deliveryTime": "0",
                "deliveryFeeRate": "",
                "priceScale": str(pd),
                "leverageFilter": {
                    "minLeverage": "1",
                    "maxLeverage": "100.00",
                    "leverageStep": "0.01",
                },
                "priceFilter": {
                    "minPrice": fmt(price / 100, pd),
                    "maxPrice": fmt(price * 100, pd),
                    "tickSize": tick,
                },
                "lotSizeFilter": {
                    "maxOrderQty": "1190.000",
                    "minOrderQty": step,
                    "qtyStep": step,
                    "postOnlyMaxOrderQty": "1190.000",
                    "maxMktOrderQty": "500.000",
                    "minNotionalValue": "5",
                },
                "unifiedMarginTrade": True,
                "fundingInterval": 480,
                "settleCoin": "USDT",
                "copyTrading": "both",
                "upperFundingRate": "0.00375",
                "lowerFundingRate": "-0.00375",
                "isPreListing": False,
                "preListingInfo": None,
            }
        )
    page = {"retCode": 0, "retMsg": "OK", "retExtInfo": {}, "time": T0}
    return {
        "linear": {**page, "result": {"category": "linear", "list": linear, "nextPageCursor": ""}},
        "spot": {**page, "result": {"category": "spot", "list": []}},
    }


def bybit() -> Dict[str, Any]:
    rng = random.Random(16)
    session: List[List[Any]] = []  # [receipt ms, message]
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
            if step == 0:
                session.append(
                    [
                        now + 2,
                        {
                            "topic": f"tickers.{sym}",
                            "type": "snapshot",
                            "data": {
                                "symbol": sym,
                                "tickDirection": "PlusTick",
                                "price24hPcnt": "0.012",
                                "lastPrice": fmt(price, pd),
                                "prevPrice24h": fmt(price * 0.99, pd),
                                "highPrice24h": fmt(price * 1.01, pd),
                                "lowPrice24h": fmt(price * 0.98, pd),
                                "prevPrice1h": fmt(price, pd),
                                "markPrice": fmt(price, pd),
                                "indexPrice": fmt(price * 0.9999, pd),
                                "openInterest": fmt(oi, qd),
                                "openInterestValue": fmt(oi * price, 2),
                                "turnover24h": "1570383121.94",
                                "volume24h": "91705.276",
                                "nextFundingTime": str(T0 + 8 * 3600 * 1000),
                                "fundingRate": funding,
                                "bid1Price": bids[0][0],
                                "bid1Size": bids[0][1],
                                "ask1Price": asks[0][0],
                                "ask1Size": asks[0][1],
                            },
                            "cs": 24987956059 + step,
                            "ts": now,
                        },
                    ]
                )
                session.append(
                    [
                        now + 3,
                        {
                            "topic": f"orderbook.50.{sym}",
                            "type": "snapshot",
                            "ts": now + 1,
                            "data": {"s": sym, "b": bids, "a": asks, "u": 1, "seq": 7961638724},
                            "cts": now,
                        },
                    ]
                )
            else:
                session.append(
                    [
                        now + 2,
                        {
                            "topic": f"tickers.{sym}",
                            "type": "delta",
                            "data": {
                                "symbol": sym,
                                "markPrice": fmt(price, pd),
                                "indexPrice": fmt(price * 0.9999, pd),
                                "openInterest": fmt(oi, qd),
                                "openInterestValue": fmt(oi * price, 2),
                                "fundingRate": funding,
                                "bid1Price": bids[0][0],
                                "bid1Size": bids[0][1],
                                "ask1Price": asks[0][0],
                                "ask1Size": asks[0][1],
                            },
                            "cs": 24987956059 + step,
                            "ts": now,
                        },
                    ]
                )
                session.append(
                    [
                        now + 3,
                        {
                            "topic": f"orderbook.50.{sym}",
                            "type": "delta",
                            "ts": now + 1,
                            "data": {
                                "s": sym,
                                "b": bids[:2],
                                "a": asks[:2],
                                "u": step + 1,
                                "seq": 7961638724 + step,
                            },
                            "cts": now,
                        },
                    ]
                )
            if sym == "ETHUSDT" and step % 4 == 3:
                session.append(
                    [
                        now + 600,
                        {
                            "topic": f"liquidation.{sym}",
                            "type": "snapshot",
                            "ts": now + 599,
                            "data": {
                                "updatedTime": now + 598,
                                "symbol": sym,
                                "side": "Buy",
                                "size": fmt(rng.uniform(5, 40), qd),
                                "price": fmt(price * 0.997, pd),
                            },
                        },
                    ]
                )
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
