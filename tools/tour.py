"""A short tour of what zelnor computes, printed next to what the naive formulas give.

Run after installing the package:  python tools/tour.py
"""
import argparse

import numpy as np

from zelnor import mills


def show(label, value):
    print(f"  {label:<44} {value!r}")


def main():
    argparse.ArgumentParser(description=__doc__).parse_args()
    np.set_printoptions(precision=17)

    print("The Mills ratio R(x) = N(-x)/n(x), on numbers and on arrays of any shape:")
    show("millsratio(0.0) = sqrt(pi/2)", mills.millsratio(0.0))
    show("millsratio(-3.0)  (reflection)", mills.millsratio(-3.0))
    show("millsratio(40.0)  (continued fraction)", mills.millsratio(40.0))
    show("millsratio([[0.5, 2.0], [9.5, 1e8]])", mills.millsratio([[0.5, 2.0], [9.5, 1e8]]))

    print("\nIts derivatives without cancellation, where 1 - x R(x) loses every digit:")
    x = 1e5
    r = mills.millsratio(x)
    show(f"millsratio_d1({x:g}) = -R'(x)", mills.millsratio_d1(x))
    show(f"1 - x * millsratio({x:g})  (naive)", 1 - x * r)
    show(f"millsratio_d3({x:g}) = -R'''(x)", mills.millsratio_d3(x))
    show("millsratio_d1(1e100) ~ 1/x^2", mills.millsratio_d1(1e100))

    print("\nThe relative form (sqrt(pi/2) - R(x))/x on [0, 1], exact at 0:")
    show("millsratio_rel_below1([0.0, 1e-300, 0.5, 1.0])", mills.millsratio_rel_below1([0.0, 1e-300, 0.5, 1.0]))
    try:
        mills.millsratio_rel_below1(1.5)
    except ValueError as e:
        show("millsratio_rel_below1(1.5)", e)


if __name__ == "__main__":
    main()
