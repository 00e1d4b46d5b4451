// Docstrings of the Database methods of text, sparse and hybrid retrieval.
#pragma once

namespace hovra::py::docs {

inline constexpr const char* kCreateTextIndex = R"doc(Define a BM25 text index over a metadata field.

Records whose metadata holds a string under `field` are indexed; others
are not. The existing records are indexed on a background thread (see
the text_index property for its progress, and wait_text_index); records
added or changed meanwhile are indexed as they change. The definition is
logged, so it survives a crash; the index itself is rebuilt from the
metadata when a reopen finds it unsaved.

Analysis: NFKC normalisation and Unicode case folding, tokens are runs of
letters, marks and digits (CJK ideographs and kana one character each),
then the language's stop words are dropped and Snowball's stemmer applied
(each optional).

Args:
    field: The metadata key holding the text.
    language: A Snowball language ("english", "german", "french",
        "russian", ...; "porter" is the original English stemmer).
    stemmer: Apply the language's Snowball stemmer.
    stopwords: Drop the language's stop words (a no-op for languages
        without a list).
    k1, b: BM25's parameters (k1 >= 0, 0 <= b <= 1).
    wait: Index the existing records before returning.
    show_progress: With wait, show the indexing's progress.

Raises:
    ValueError: The database already has a text index, an unknown
        language, a stemmer asked for a language without one, k1 or b out
        of range.)doc";

inline constexpr const char* kDropTextIndex = R"doc(Drop the text index (logged).

Raises:
    ValueError: The database has no text index.)doc";

inline constexpr const char* kWaitTextIndex = R"doc(Wait until the text index has indexed every record.

Args:
    show_progress: Show the indexing's progress on standard error.

Ctrl-C stops the wait (KeyboardInterrupt), not the indexing.

Raises:
    ValueError: The database has no text index.)doc";

inline constexpr const char* kTextSearch = R"doc(Search the text index with BM25.

The query is analysed like the indexed text; each query term adds
idf * tf * (k1 + 1) / (tf + k1 * (1 - b + b * len / avglen)) times its
count in the query, with idf = ln(1 + (N - df + 0.5) / (df + 0.5)) over
the live records. Only records holding at least one query term are
returned, best first.

Args:
    text: The query text.
    k: How many results at most.
    where_filter: A metadata filter, as for search().
    corpus_stats: Statistics to score with instead of this database's own
        (from text_stats(), summed over shards: see hovra.ray).

Returns:
    SearchResults whose score is the BM25 score and whose distance is its
    negation (smaller is closer).

Raises:
    ValueError: The database has no text index; a bad filter.)doc";

inline constexpr const char* kTextStats = R"doc(The text index's statistics for a query's terms.

Returns:
    {"documents": N, "total_length": total terms, "document_frequency":
    {term: records holding it}} for the analysed terms of `text`. Summed
    over several databases they make text_search's scores comparable
    across them (corpus_stats=).)doc";

inline constexpr const char* kSparseSearch = R"doc(Search the records' sparse vectors by dot product.

Args:
    sparse_query: {"indices": [...], "values": [...]} or a SciPy sparse row.
    k: How many results at most.
    where_filter: A metadata filter, as for search().

Returns:
    SearchResults of the records sharing at least one index with the query,
    by dot product (score), distance being its negation.)doc";

inline constexpr const char* kHybridSearch = R"doc(Search with a vector, a text and a sparse vector at once, fused.

Each retriever given (dense vector search, BM25 text search, sparse dot
product) returns its `candidates` best records (default max(50, 4 * k)),
all under the same filter; the lists are fused:

- fusion="rrf": reciprocal-rank fusion, score = sum over the retrievers
  that found the record of weight / (rrf_k + rank), ranks from 1;
- fusion="weighted": each retriever's scores are min-max normalised over
  its candidates (similarity for the vector search: the negated
  distance), and score = sum of weight * normalised score.

Args:
    vector, text, sparse: The queries; at least one.
    k: How many results at most.
    where_filter: A metadata filter applied by every retriever.
    fusion: "rrf" or "weighted".
    weights: Per retriever: {"vector": w, "text": w, "sparse": w} or a
        sequence of three; 1.0 each by default.
    candidates: Candidates per retriever.
    rrf_k: The RRF constant (60).
    ef_search: The vector search's beam width.

Returns:
    SearchResults best first: score is the fused score (distance its
    negation) and ranks maps each retriever that found the record to its
    1-based rank.)doc";

inline constexpr const char* kGetSparse =
    R"doc(The record's sparse vector as {"indices": [...], "values": [...]}, or None.

Raises:
    ValueError: "id '...' not found".)doc";

inline constexpr const char* kTextIndexProperty =
    "The text index as a dict (field, language, stemmer, stopwords, k1, b, building, indexed, total, "
    "documents, terms), or None without one. While building, indexed of total slots are done.";

}  // namespace hovra::py::docs
