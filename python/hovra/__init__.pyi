from _hovra import CorruptDataError as CorruptDataError
from _hovra import Database as Database
from _hovra import DatabaseClosedError as DatabaseClosedError
from _hovra import DatabaseInUseError as DatabaseInUseError
from _hovra import DatabaseNotFoundError as DatabaseNotFoundError
from _hovra import DuplicateIdError as DuplicateIdError
from _hovra import HovraError as HovraError
from _hovra import NotFoundError as NotFoundError
from _hovra import ReadOnlyError as ReadOnlyError
from _hovra import SearchResult as SearchResult
from _hovra import TransactionConflictError as TransactionConflictError
from _hovra import get_num_threads as get_num_threads
from _hovra import set_num_threads as set_num_threads

from hovra.store import Store as Store

__version__: str

__all__ = [
    "CorruptDataError",
    "Database",
    "DatabaseClosedError",
    "DatabaseInUseError",
    "DatabaseNotFoundError",
    "DuplicateIdError",
    "HovraError",
    "NotFoundError",
    "ReadOnlyError",
    "SearchResult",
    "Store",
    "TransactionConflictError",
    "__version__",
    "get_num_threads",
    "set_num_threads",
]
