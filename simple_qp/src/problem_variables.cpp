// placeholder until the QP layer lands
