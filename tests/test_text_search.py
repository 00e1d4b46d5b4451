"""Text, sparse and hybrid retrieval: BM25 scores and top-k against a
plain-Python reference through inserts, updates, deletes, a save and a
reopen; sparse scores against SciPy; fusion against a reference; filters on
every retriever; the text index built in the background under writes and
after a kill; the text file in the checksum record, verify and compact."""

import math
import os
import random
import signal
import subprocess
import sys
import textwrap
from collections import Counter

import hovra
import numpy as np
import pytest

scipy_sparse = pytest.importorskip("scipy.sparse")

DIM = 8
VOCAB = [f"w{i}" for i in range(400)]


def random_text(rng):
    # Zipf-like word frequencies: low-numbered words are common.
    return " ".join(VOCAB[int(rng.random() ** 3 * len(VOCAB))] for _ in range(rng.randint(1, 24)))


class Bm25Reference:
    """BM25 over whitespace-separated words (the analyser gives the same
    tokens for these texts with stemming and stop words off)."""

    def __init__(self, k1=1.2, b=0.75):
        self.k1, self.b = k1, b
        self.docs = {}

    def set(self, rid, text):
        if text is None or not text.split():
            self.docs.pop(rid, None)
        else:
            self.docs[rid] = Counter(text.split())

    def scores(self, query, allowed=None):
        n = len(self.docs)
        avgdl = sum(sum(c.values()) for c in self.docs.values()) / n
        df = Counter(t for c in self.docs.values() for t in c)
        qf = Counter(query.split())
        out = {}
        for rid, counts in self.docs.items():
            if allowed is not None and rid not in allowed:
                continue
            length = sum(counts.values())
            s, hit = 0.0, False
            for term, q in qf.items():
                tf = counts.get(term, 0)
                if not tf:
                    continue
                hit = True
                idf = math.log(1 + (n - df[term] + 0.5) / (df[term] + 0.5))
                s += q * idf * tf * (self.k1 + 1) / (tf + self.k1 * (1 - self.b + self.b * length / avgdl))
            if hit:
                out[rid] = s
        return out


def check_top(results, scores, k):
    """The results are a top-k of the reference: same scores in order, each
    id's own reference score (ties may order either way)."""
    want = sorted(scores.values(), reverse=True)[:k]
    assert len(results) == len(want)
    for r, w in zip(results, want):
        assert r.score == pytest.approx(w, rel=1e-5)
        assert r.distance == pytest.approx(-w, rel=1e-5)
        assert scores[r.id] == pytest.approx(r.score, rel=1e-5)


def text_db(path, **kwargs):
    db = hovra.Database(str(path), dim=DIM, **kwargs)
    db.create_text_index("body", stemmer=False, stopwords=False, wait=True)
    return db


def vectors(rng, n):
    return np.array([[rng.gauss(0, 1) for _ in range(DIM)] for _ in range(n)], dtype=np.float32)


class TestBm25AgainstReference:
    @pytest.mark.slow
    def test_scores_and_top_k_through_changes_save_and_reopen(self, tmp_path):
        rng = random.Random(5)
        ref = Bm25Reference()
        db = text_db(tmp_path / "db")
        ids = [f"r{i}" for i in range(3000)]
        texts = [random_text(rng) for _ in ids]
        db.add_many(ids, vectors(rng, len(ids)), [{"body": t, "i": i} for i, t in enumerate(texts)])
        for rid, t in zip(ids, texts):
            ref.set(rid, t)
        queries = [" ".join(random_text(rng).split()[:4]) for _ in range(25)]

        def check_all(db):
            assert db.text_index["documents"] == len(ref.docs)
            for i, q in enumerate(queries):
                k = 1 + i % 15
                check_top(db.text_search(q, k=k), ref.scores(q), k)

        check_all(db)
        for step in range(600):
            rid = rng.choice(ids)
            choice = step % 5
            if choice == 0 and rid in db:
                db.delete(rid)
                ref.set(rid, None)
            elif choice == 1 and rid in db:
                t = random_text(rng)
                db.update(rid, metadata={"body": t})
                ref.set(rid, t)
            elif choice == 2:
                t = random_text(rng)
                db.upsert(rid, vectors(rng, 1)[0], {"body": t})
                ref.set(rid, t)
            elif choice == 3 and rid in db:
                db.update(rid, metadata={"other": 1})  # no text: out of the index
                ref.set(rid, None)
            else:
                new = f"n{step}"
                t = random_text(rng)
                db.add(new, vectors(rng, 1)[0], {"body": t})
                ref.set(new, t)
        # Deletions in bulk forget their documents as single ones do.
        gone = [rid for rid in ids[:300:3] if rid in db]
        assert db.delete_many(gone) == len(gone)
        chosen = [rid for rid in ids[2900:] if rid in db and "i" in (db.get(rid)[1] or {})]
        assert db.delete_where({"i": {"$gte": 2900}}) == len(chosen)
        for rid in gone + chosen:
            ref.set(rid, None)
        check_all(db)
        db.close()
        db = hovra.Database(str(tmp_path / "db"))  # replayed from the log
        check_all(db)
        db.save()
        db.close()
        db = hovra.Database(str(tmp_path / "db"))  # loaded from text.hovra
        check_all(db)
        assert "text.hovra" in os.listdir(tmp_path / "db")
        db.compact()
        check_all(db)

    def test_filters_and_repeated_query_terms(self, tmp_path):
        rng = random.Random(9)
        ref = Bm25Reference()
        db = text_db(tmp_path / "db")
        ids = [f"r{i}" for i in range(1500)]
        texts = [random_text(rng) for _ in ids]
        db.add_many(ids, vectors(rng, len(ids)), [{"body": t, "g": i % 7} for i, t in enumerate(texts)])
        for rid, t in zip(ids, texts):
            ref.set(rid, t)
        for q in ["w1 w1 w5", "w3 w40 w2 w2 w2", "w0"]:
            for flt, allowed in [
                ({"g": 3}, {r for i, r in enumerate(ids) if i % 7 == 3}),
                ({"g": {"$gte": 5}}, {r for i, r in enumerate(ids) if i % 7 >= 5}),
                ({"g": {"$ne": 0}}, {r for i, r in enumerate(ids) if i % 7 != 0}),
            ]:
                check_top(db.text_search(q, k=10, where_filter=flt), ref.scores(q, allowed), 10)

    def test_bm25_parameters_and_analysis(self, tmp_path):
        db = hovra.Database(str(tmp_path / "db"), dim=DIM)
        db.create_text_index("body", k1=2.0, b=0.3, stemmer=False, stopwords=False, wait=True)
        ref = Bm25Reference(k1=2.0, b=0.3)
        rng = random.Random(3)
        for i in range(200):
            t = random_text(rng)
            db.add(f"r{i}", vectors(rng, 1)[0], {"body": t})
            ref.set(f"r{i}", t)
        check_top(db.text_search("w2 w9", k=20), ref.scores("w2 w9"), 20)
        db.drop_text_index()
        assert db.text_index is None
        db.create_text_index("body", wait=True)  # English: stemmed, stop words dropped
        db.add("s", vectors(rng, 1)[0], {"body": "The Running DOGS of Straße"})
        assert [r.id for r in db.text_search("run dog strasse")] == ["s"]
        assert db.text_search("the of") == []

    def test_errors_change_nothing(self, tmp_path):
        db = hovra.Database(str(tmp_path / "db"), dim=DIM)
        with pytest.raises(ValueError, match="no text index"):
            db.text_search("x")
        with pytest.raises(ValueError, match="unknown text language"):
            db.create_text_index("body", language="klingon")
        with pytest.raises(ValueError, match="b must be"):
            db.create_text_index("body", b=2.0)
        assert db.text_index is None
        db.create_text_index("body")
        with pytest.raises(ValueError, match="already has a text index"):
            db.create_text_index("other")
        with pytest.raises(TypeError):
            db.text_search(3)


class TestSparse:
    def test_scores_equal_scipy_through_changes_and_reopen(self, tmp_path):
        rng = np.random.default_rng(4)
        n, width = 2000, 300
        matrix = scipy_sparse.random(n, width, density=0.03, format="csr", random_state=rng, dtype=np.float32)
        ids = [f"r{i}" for i in range(n)]
        db = hovra.Database(str(tmp_path / "db"), dim=DIM)
        db.add_many(ids, rng.normal(size=(n, DIM)).astype(np.float32), sparse=matrix)
        rows = {rid: matrix[i] for i, rid in enumerate(ids)}
        # Single-record forms: a dict, a SciPy row, an update and a removal.
        db.update("r1", sparse={"indices": [7, 3], "values": [0.5, 2.0]})
        rows["r1"] = scipy_sparse.csr_matrix(([2.0, 0.5], ([0, 0], [3, 7])), shape=(1, width))
        db.upsert("r2", np.zeros(DIM, np.float32), sparse=rows["r5"])
        rows["r2"] = rows["r5"]
        db.update("r3", sparse={"indices": [], "values": []})
        rows.pop("r3")
        db.delete("r4")
        rows.pop("r4")
        assert db.delete_many(["r6", "r7"]) == 2
        rows.pop("r6"), rows.pop("r7")
        assert db.get_sparse("r1") == {"indices": [3, 7], "values": [2.0, 0.5]}
        assert db.get_sparse("r3") is None

        def check(db):
            names = sorted(rows)
            stacked = scipy_sparse.vstack([rows[r] for r in names]).tocsr()
            for _ in range(10):
                q = scipy_sparse.random(1, width, density=0.05, format="csr", random_state=rng)
                expected = (stacked @ q.T).toarray().ravel()
                touched = (abs(stacked) @ abs(q.T)).toarray().ravel() > 0
                want = sorted((float(expected[i]) for i in range(len(names)) if touched[i]), reverse=True)[
                    :10
                ]
                got = db.sparse_search(q, k=10)
                assert [r.score for r in got] == pytest.approx(want, rel=1e-5, abs=1e-6)
                for r in got:
                    assert r.score == pytest.approx(float(expected[names.index(r.id)]), rel=1e-5, abs=1e-6)

        check(db)
        db.close()
        db = hovra.Database(str(tmp_path / "db"))
        check(db)
        db.save()
        db.close()
        db = hovra.Database(str(tmp_path / "db"))
        check(db)
        db.compact()
        check(db)

    def test_bad_sparse_input_changes_nothing(self, tmp_path):
        db = hovra.Database(str(tmp_path / "db"), dim=2)
        for bad, exc in [
            ({"indices": [1, 1], "values": [1.0, 2.0]}, ValueError),
            ({"indices": [1], "values": [float("nan")]}, ValueError),
            ({"indices": [1, 2], "values": [1.0]}, ValueError),
            ({"indices": [-1], "values": [1.0]}, OverflowError),
            ({"indices": [2**32], "values": [1.0]}, ValueError),
            ({"values": [1.0]}, ValueError),
            ("text", TypeError),
        ]:
            with pytest.raises(exc):
                db.add("a", [1, 2], sparse=bad)
        with pytest.raises(ValueError, match="rows"):
            db.add_many(["a", "b"], [[1, 2], [3, 4]], sparse=scipy_sparse.random(3, 5, format="csr"))
        assert len(db) == 0


class TestHybrid:
    @pytest.fixture
    def db(self, tmp_path):
        rng = random.Random(2)
        db = text_db(tmp_path / "db")
        n = 800
        ids = [f"r{i}" for i in range(n)]
        sparse = [
            {"indices": rng.sample(range(100), 5), "values": [rng.random() for _ in range(5)]} for _ in ids
        ]
        db.add_many(
            ids,
            vectors(rng, n),
            [{"body": random_text(rng), "g": i % 4} for i in range(n)],
            sparse=sparse,
        )
        return db

    def reference(self, lists, k, fusion="rrf", weights=(1.0, 1.0, 1.0), rrf_k=60.0):
        fused = {}
        for which, hits in enumerate(lists):
            if hits is None:
                continue
            sims = [-h.distance for h in hits]
            lo, hi = (min(sims), max(sims)) if sims else (0, 0)
            for rank, (h, s) in enumerate(zip(hits, sims), start=1):
                if fusion == "rrf":
                    add = weights[which] / (rrf_k + rank)
                else:
                    add = weights[which] * ((s - lo) / (hi - lo) if hi > lo else 1.0)
                fused[h.id] = fused.get(h.id, 0.0) + add
        return sorted(fused.items(), key=lambda kv: -kv[1])[:k]

    @pytest.mark.parametrize("fusion", ["rrf", "weighted"])
    @pytest.mark.parametrize("flt", [None, {"g": 2}, {"g": {"$lt": 2}}])
    def test_fusion_equals_reference_and_filters_apply_everywhere(self, db, fusion, flt):
        rng = random.Random(8)
        for _ in range(5):
            vec = vectors(rng, 1)[0]
            text = " ".join(random_text(rng).split()[:3])
            sq = {"indices": rng.sample(range(100), 6), "values": [rng.random() for _ in range(6)]}
            weights = (0.5, 1.0, 2.0)
            c = 40
            lists = [
                db.search(vec, k=c, where_filter=flt, ef_search=200),
                db.text_search(text, k=c, where_filter=flt),
                db.sparse_search(sq, k=c, where_filter=flt),
            ]
            got = db.hybrid_search(
                vec,
                text,
                sq,
                k=10,
                where_filter=flt,
                fusion=fusion,
                weights=weights,
                candidates=c,
                ef_search=200,
            )
            want = self.reference(lists, 10, fusion, weights)
            assert [r.score for r in got] == pytest.approx([s for _, s in want], rel=1e-9)
            ranks = [{h.id: i + 1 for i, h in enumerate(hits)} for hits in lists]
            for r in got:
                assert r.distance == pytest.approx(-r.score, rel=1e-6)
                expected = {
                    name: rk[r.id] for name, rk in zip(("vector", "text", "sparse"), ranks) if r.id in rk
                }
                assert r.ranks == expected
                if flt is not None:
                    g = r.metadata["g"]
                    assert g == 2 if flt == {"g": 2} else g < 2

    def test_any_subset_of_retrievers(self, db):
        only_text = db.hybrid_search(text="w1 w2", k=5)
        assert [r.id for r in only_text] == [r.id for r in db.text_search("w1 w2", k=5)]
        assert all(set(r.ranks) == {"text"} for r in only_text)
        with pytest.raises(ValueError, match="at least one"):
            db.hybrid_search(k=3)
        with pytest.raises(ValueError, match="fusion"):
            db.hybrid_search(text="w1", fusion="max")
        with pytest.raises(ValueError, match="weights"):
            db.hybrid_search(text="w1", weights={"text": -1})


class TestDurability:
    def test_text_file_is_checksummed_verified_and_listed(self, tmp_path):
        path = tmp_path / "db"
        db = hovra.Database(str(path), dim=2, text_field="body")
        db.add("a", [1, 2], {"body": "alpha beta"}, sparse={"indices": [1], "values": [1.0]})
        db.save()
        db.verify()
        db.close()
        out = subprocess.run(
            [sys.executable, "-m", "hovra", "info", str(path)], capture_output=True, text=True, timeout=120
        )
        assert "text index       field 'body'" in out.stdout and "sparse vectors   1" in out.stdout
        data = bytearray((path / "text.hovra").read_bytes())
        data[10] ^= 0xFF
        (path / "text.hovra").write_bytes(bytes(data))
        with pytest.raises(ValueError, match="text.hovra: checksum mismatch"):
            hovra.Database(str(path))
        from _hovra import _inspect

        assert "text.hovra does not match its checksum" in _inspect(str(path))["check"]["problem"]

    @pytest.mark.slow
    def test_background_build_under_concurrent_writes(self, tmp_path):
        rng = random.Random(1)
        db = hovra.Database(str(tmp_path / "db"), dim=DIM)
        n = 20000
        texts = {f"r{i}": random_text(rng) for i in range(n)}
        db.add_many(list(texts), vectors(rng, n), [{"body": t} for t in texts.values()])
        db.create_text_index("body", stemmer=False, stopwords=False)
        for i in range(300):  # changes while the index is being built
            rid = rng.choice(sorted(texts))
            t = random_text(rng)
            db.update(rid, metadata={"body": t})
            texts[rid] = t
            if i % 3 == 0:
                db.delete(rid)
                texts.pop(rid)
        db.wait_text_index()
        info = db.text_index
        assert not info["building"] and info["indexed"] == info["total"]
        ref = Bm25Reference()
        for rid, t in texts.items():
            ref.set(rid, t)
        for q in ["w1 w7", "w3", "w20 w0 w5"]:
            check_top(db.text_search(q, k=10), ref.scores(q), 10)

    @pytest.mark.slow
    def test_kill_while_the_text_index_is_built(self, tmp_path):
        path = tmp_path / "db"
        code = textwrap.dedent(
            f"""
            import random, sys, time
            import numpy as np
            import hovra
            rng = random.Random(6)
            words = [f"w{{i}}" for i in range(400)]
            db = hovra.Database({str(path)!r}, dim=4)
            n = 40000
            texts = [" ".join(words[int(rng.random() ** 3 * 400)] for _ in range(rng.randint(1, 24))) for _ in range(n)]
            db.add_many([f"r{{i}}" for i in range(n)], np.ones((n, 4), np.float32), [{{"body": t}} for t in texts])
            db.save()
            db.create_text_index("body", stemmer=False, stopwords=False)
            print("building", db.text_index["building"], flush=True)
            db.add("late", [1, 2, 3, 4], {{"body": "w1 w2 zzz"}})
            print("added", flush=True)
            time.sleep(60)
            """
        )
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().startswith("building")
            assert child.stdout.readline().startswith("added")
            os.kill(child.pid, signal.SIGKILL)
        finally:
            child.kill()
            child.wait()
        db = hovra.Database(str(path))
        info = db.text_index
        assert info is not None and not info["building"] and info["documents"] == 40001
        assert [r.id for r in db.text_search("zzz")] == ["late"]
        ref = Bm25Reference()
        rng = random.Random(6)
        words = [f"w{i}" for i in range(400)]
        for i in range(40000):
            ref.set(f"r{i}", " ".join(words[int(rng.random() ** 3 * 400)] for _ in range(rng.randint(1, 24))))
        ref.set("late", "w1 w2 zzz")
        check_top(db.text_search("w1 w30", k=10), ref.scores("w1 w30"), 10)
