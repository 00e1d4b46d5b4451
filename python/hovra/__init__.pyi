from _hovra import Database as Database
from _hovra import SearchResult as SearchResult

__version__: str

__all__ = ["Database", "SearchResult", "__version__"]
