"""Image motion in grey-level frame streams (type stub of the `orvane` package)."""

from orvane._core import *
from orvane._core import __version__ as __version__
from orvane._core import _last_input_address as _last_input_address
from orvane._core import _live_result_images as _live_result_images
from orvane._core import _members as _members
from orvane import batch as batch
from orvane import flow as flow
