# Tests of MorvexZip arrive here.
