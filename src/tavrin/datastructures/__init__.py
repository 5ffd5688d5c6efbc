"""Fast general-purpose containers, one extension module each.

memberbag   attribute dictionaries with dotted key paths
pathtable   flat (path, value) tables of nested configurations
logic       And/Or/Not filters built from patterns and callables
rankmap     a mapping whose key order can be changed
wispseq     a list that holds its items through weak references
branchlet   a printable tree
typegetter  a read-only attribute computed from the class
"""
__version__ = "0.1.0"
