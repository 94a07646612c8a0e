import json
import pathlib

import pytest
from norsel_radar._norsel_radar import Radar

FIXED_SPEC = '{"signals":[{"kind":"funding_flip","params":[0.001]},{"kind":"book_imbalance","params":[0.5]},{"kind":"liq_cluster","params":[3,1000]},{"kind":"oi_delta","params":[1,0.1]},{"kind":"oi_price_divergence","params":[1,0.1],"weight":2}],"threshold":-1}'
LINES = (pathlib.Path(__file__).parent / "decode_errors.jsonl").read_text("ascii").splitlines()


@pytest.mark.parametrize(
    "case", [json.loads(line) for line in LINES], ids=[f"line{n}" for n in range(1, len(LINES) + 1)]
)
def test_decode_error(case):
    if case["surface"] == "command":
        assert Radar(FIXED_SPEC).command(case["input"]) == '{"error":%s,"ok":false}' % json.dumps(
            case["error"], ensure_ascii=False
        )
    else:
        with pytest.raises(ValueError) as exc:
            Radar(case["input"])
        assert str(exc.value) == case["error"]
