SELECT * FROM T WHERE A=:A AND B='x:y' -- :c
